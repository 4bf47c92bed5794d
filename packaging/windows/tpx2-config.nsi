; The Windows installer of the TPX-2 Config Utility and tpx2ctl.exe.
;
; Made by the Windows build's "installer" target, which passes on the
; command line: VERSION (1.2.3), VERSION_MAJOR, VERSION_MINOR, VERSION_QUAD
; (1.2.3.0), MAKER, PRODUCT, STAGE_DIR (the staged programs), APP_ICON,
; WELCOME_BMP, HEADER_BMP and OUT_FILE.
;
; Installs for every user of the machine under Program Files\MAKER\PRODUCT,
; with a Start-menu shortcut and an entry in Add/Remove Programs. The
; uninstaller removes exactly what was installed. Both run silently with /S.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!define FULL_NAME "${MAKER} ${PRODUCT}"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${FULL_NAME}"
!define START_MENU_DIR "$SMPROGRAMS\${MAKER}"
!define MAKER_DIR "$PROGRAMFILES64\${MAKER}"

Name "${FULL_NAME}"
OutFile "${OUT_FILE}"
InstallDir "${MAKER_DIR}\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${FULL_NAME} ${VERSION}"

VIProductVersion "${VERSION_QUAD}"
VIFileVersion "${VERSION_QUAD}"
VIAddVersionKey /LANG=1033 "CompanyName" "${MAKER}"
VIAddVersionKey /LANG=1033 "ProductName" "${FULL_NAME}"
VIAddVersionKey /LANG=1033 "FileDescription" "${FULL_NAME} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "© 2026 ${MAKER}. All rights reserved."

!include "MUI2.nsh"
!include "FileFunc.nsh"

!define MUI_ICON "${APP_ICON}"
!define MUI_UNICON "${APP_ICON}"
!define MUI_HEADERIMAGE
!define MUI_HEADERIMAGE_BITMAP "${HEADER_BMP}"
!define MUI_HEADERIMAGE_UNBITMAP "${HEADER_BMP}"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${WELCOME_BMP}"
!define MUI_UNWELCOMEFINISHPAGE_BITMAP "${WELCOME_BMP}"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; Shortcuts and Start-menu folders for all users, not the one installing.
Function .onInit
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetShellVarContext all
FunctionEnd

Section "Install"
  SetOutPath "$INSTDIR"
  File "${STAGE_DIR}/tpx2-config.exe"
  File "${STAGE_DIR}/tpx2ctl.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "${START_MENU_DIR}"
  CreateShortcut "${START_MENU_DIR}\${PRODUCT}.lnk" "$INSTDIR\tpx2-config.exe" "" \
                 "$INSTDIR\tpx2-config.exe" 0

  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${FULL_NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${MAKER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tpx2-config.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMajor" ${VERSION_MAJOR}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMinor" ${VERSION_MINOR}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Each file by name: the folder may have been chosen by the user and hold
; other things, so folders go only when they are empty.
Section "Uninstall"
  Delete "$INSTDIR\tpx2-config.exe"
  Delete "$INSTDIR\tpx2ctl.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  RMDir "${MAKER_DIR}"

  Delete "${START_MENU_DIR}\${PRODUCT}.lnk"
  RMDir "${START_MENU_DIR}"

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
