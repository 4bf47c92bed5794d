# The Windows installer: the utility and tpx2ctl.exe, staged by the install
# rules (stripped) and packed by NSIS's makensis into
# tpx2-config-VERSION-win64-setup.exe. Its pages use the utility's own
# artwork: the icon as is, the splash picture cut to the bitmap sizes of the
# installer's pages.
install(TARGETS tpx2-config tpx2ctl RUNTIME DESTINATION .)

if(NOT TPX2_PACKAGE)
  return()
endif()

find_program(TPX2_MAKENSIS makensis REQUIRED)
find_program(TPX2_CONVERT convert REQUIRED)  # ImageMagick

set(artwork ${PROJECT_BINARY_DIR}/app/artwork)
set(pictures ${CMAKE_CURRENT_BINARY_DIR}/installer-artwork)
set(stage ${CMAKE_CURRENT_BINARY_DIR}/stage)
set(TPX2_INSTALLER ${CMAKE_CURRENT_BINARY_DIR}/tpx2-config-${TPX2_PACKAGE_VERSION}-win64-setup.exe
    CACHE INTERNAL "The Windows installer")

# The welcome and finish pages take a 164 x 314 picture, the other pages a
# 150 x 57 header, both as plain 24-bit BMP: the splash's level meter,
# extended upwards in its own top colour, and the whole splash scaled down.
add_custom_command(
  OUTPUT ${pictures}/welcome.bmp ${pictures}/header.bmp
  COMMAND ${CMAKE_COMMAND} -E make_directory ${pictures}
  COMMAND ${TPX2_CONVERT} ${artwork}/splash.bmp -crop 136x196+0+0 +repage -resize 164x
          -gravity south -background "rgb(30,39,52)" -extent 164x314 -type TrueColor
          BMP3:${pictures}/welcome.bmp
  COMMAND ${TPX2_CONVERT} ${artwork}/splash.bmp -resize x57 -gravity center
          -background "rgb(30,39,52)" -extent 150x57 -type TrueColor BMP3:${pictures}/header.bmp
  DEPENDS ${artwork}/splash.bmp tpx2_artwork
  COMMENT "Cutting the installer's pictures from the splash"
  VERBATIM)

set(script ${CMAKE_CURRENT_LIST_DIR}/tpx2-config.nsi)
add_custom_command(
  OUTPUT ${TPX2_INSTALLER}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${stage}
  COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix ${stage} --strip
  COMMAND ${TPX2_MAKENSIS} -V2 -NOCD
          -DVERSION=${TPX2_PACKAGE_VERSION}
          -DVERSION_MAJOR=${PROJECT_VERSION_MAJOR}
          -DVERSION_MINOR=${PROJECT_VERSION_MINOR}
          -DVERSION_QUAD=${PROJECT_VERSION}.0
          -DMAKER=${TPX2_MAKER}
          -DPRODUCT=${TPX2_PRODUCT}
          -DSTAGE_DIR=${stage}
          -DAPP_ICON=${artwork}/app.ico
          -DWELCOME_BMP=${pictures}/welcome.bmp
          -DHEADER_BMP=${pictures}/header.bmp
          -DOUT_FILE=${TPX2_INSTALLER}
          ${script}
  DEPENDS tpx2-config tpx2ctl ${script} ${pictures}/welcome.bmp ${pictures}/header.bmp
          ${artwork}/app.ico
  COMMENT "Making the installer ${TPX2_INSTALLER}"
  VERBATIM)
add_custom_target(installer DEPENDS ${TPX2_INSTALLER})
