#pragma once

#include <string>

#include "platform/message_box.h"

namespace flashing {

// Title of the program's plain message boxes.
inline constexpr const char* kBoxTitle = "DL_LR520S_BEL_MD_ZUD1.00.00";

// A plain box: that title, an OK button, no icon.
inline void ShowPlainBox(platform::IMessageBoxes& boxes, const std::string& text)
{
    boxes.Show(text, kBoxTitle, platform::BoxButtons::Ok, platform::BoxIcon::None);
}

}  // namespace flashing
