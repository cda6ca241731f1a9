#include "workflow/line_reporting.h"

#include <algorithm>

std::string ProgressText(int percent) { return std::to_string(std::min(percent, 100)) + "/100"; }
