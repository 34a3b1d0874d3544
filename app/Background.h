// Starting an engine operation on a new, detached thread.
#pragma once

#include <functional>
#include <string_view>

namespace lumsift::app {

// Runs `work` (takes ownership) on a new detached std::thread and returns at once. An exception
// that leaves `work` is logged with `what` (copied) instead of ending the process. Whatever
// `work` captures must stay valid until it has run.
void startInBackground(std::string_view what, std::function<void()> work);

} // namespace lumsift::app
