#pragma once

#include <string>

#include "workflow/line_record.h"

// Asks the device on the line's diagnostic port who it is: the first of its
// four versions, else its software version, else its ESN in hexadecimal
// becomes the line status text and the line state PhoneFound. A device that
// does not answer leaves "No Phone" and NoPhone.
[[nodiscard]] bool CheckPhoneInfo(DownloadLine& line);

// Sends one AT command on the line's modem port; true when the device
// answered with a first reply line that is not an error.
[[nodiscard]] bool SendAtCommand(DownloadLine& line, const std::string& command);
