#include "flashing/replug_control.h"

#include <atomic>

namespace flashing {
namespace {

std::atomic<IReplugControl*> g_replug{nullptr};

}  // namespace

IReplugControl* SetReplugControl(IReplugControl* control) { return g_replug.exchange(control); }

IReplugControl* ReplugControl() { return g_replug.load(); }

}  // namespace flashing
