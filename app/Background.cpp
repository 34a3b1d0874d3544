// Detached worker threads for the engine's long operations.
#include "app/Background.h"

#include "platform/log/Log.h"

#include <exception>
#include <string>
#include <thread>

namespace lumsift::app {

void startInBackground(std::string_view what, std::function<void()> work) {
    std::thread([name = std::string(what), work = std::move(work)] {
        try {
            work();
        } catch (const std::exception& error) {
            log::line(name + " ended with an error: " + error.what());
        } catch (...) {
            log::line(name + " ended with an unknown error");
        }
    }).detach();
}

} // namespace lumsift::app
