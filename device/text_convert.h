// Text conversions of the utility's platform: a device name typed or picked
// as wide text becomes the narrow text the AVN API takes, in the user's
// default code page.
#pragma once

#include <string>
#include <string_view>

// Characters the code page cannot hold become '?'; a terminator in the input
// ends the text.
std::string narrow_from_wide(std::wstring_view text);
