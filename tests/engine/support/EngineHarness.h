// A fresh engine for one test over a photo application registered for "com.apple.aperture", a
// queue as the main thread, recording pages and delegate, and access to the engine's fields.
#pragma once

#include "engine/LumsiftForAperture.h"
#include "tests/support/FakeApertureApplication.h"
#include "tests/engine/support/Recorders.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace lumsift {

// Reads and sets the engine's private state for tests (declared a friend by the engine).
struct LumsiftForApertureTestAccess {
    using E = LumsiftForAperture;
    static const std::vector<ImageVersion>& allImages(E& e) { return e.loaded.allImages(); }
    static const std::vector<std::string>& allImageIDs(E& e) { return e.loaded.allImageIDs(); }
    static const std::vector<std::string>& allImagePaths(E& e) { return e.loaded.allImagePaths(); }
    // A load of images with these identifiers and no stored fingerprints, as the master-file
    // look-ups see it.
    static void loadIdentifiers(E& e, std::vector<std::string> ids) {
        e.loaded.startLoad();
        for (std::string& id : ids)
            e.loaded.appendImage(ImageVersion(nullptr, id), std::move(id), {});
        e.loaded.finishLoad();
    }
    static std::shared_ptr<const FingerprintList> plainList(E& e) {
        return e.loaded.allLumsiftClassicHahes();
    }
    static std::shared_ptr<const FingerprintList> plusList(E& e) {
        return e.loaded.allLumsiftPlusHahes();
    }
    static std::shared_ptr<const FingerprintList> proList(E& e) {
        return e.loaded.allLumsiftProHahes();
    }
    static std::shared_ptr<const FingerprintList> searchList(E& e) {
        return e.loaded.allLumsiftHahes();
    }
    // Entry `i` of the plain, plus and Pro lists.
    static FingerprintReading entries(E& e, std::size_t i) {
        return {(*plainList(e))[i], (*plusList(e))[i], (*proList(e))[i]};
    }
    static const auto& taggedImages(E& e) { return e.taggedImages; }
    static const auto& taggedImageKeyword(E& e) { return e.taggedImageKeyword; }
    // Starts an empty record, as a search with a selection does.
    static void startRecord(E& e) {
        e.taggedImages = std::make_unique<std::vector<ImageVersion>>();
        e.taggedImageKeyword = std::make_unique<std::vector<std::string>>();
    }
    static int32_t searchUsing(E& e) { return e.searchUsing.load(); }
    static int64_t similaritySensitivity(E& e) { return e._similaritySensitivity.load(); }
    static const std::string& exportFolder(E& e) { return e.exportFolder; }
    static auto photoApplication(E& e) { return e.photoApplication; }
    static std::shared_ptr<LoadingPage> dataView(E& e) { return e.loadingPage(); }
    static std::shared_ptr<AppDelegate> appDelegate(E& e) { return e.delegate(); }
    static void setDataView(E& e, std::shared_ptr<LoadingPage> page) {
        std::lock_guard lock(e.fieldsMutex);
        e.dataView = std::move(page);
    }
    static std::recursive_mutex& engineLock(E& e) { return e.engineLock; }
    static int searchesWaiting(E& e) { return e.searchesWaiting.load(); }
    static int initRuns() { return E::initRuns.load(); }
};

namespace testing {

template <typename T> using Ptr = std::shared_ptr<T>;

// The engine reset over the application that `factory` makes, with recording pages and delegate.
struct RecordedEngine {
    explicit RecordedEngine(const scripting::ScriptingRegistry::Factory& factory) {
        scripting::ScriptingRegistry::registerApplication(kApertureBundleIdentifier, factory);
        setMainThread(main);
        engine.resetForTesting();
    }
    // Hands the delegate to the engine, as the application does at start-up.
    void giveDelegate() { engine.setAppDelegate(delegate); }
    // Gives the engine recording idle-sleep assertions and notifications.
    void recordSystem() {
        const auto system = std::make_shared<RecordingSystem>(events);
        engine.setPowerAssertions(system);
        engine.setUserNotifications(system);
    }
    // Runs a search with the results page and runs the posted work.
    void search() {
        engine.detectSimilar(resultsPage);
        main->drain();
    }
    // True when another thread can take the engine lock now.
    bool engineLockIsFree() {
        bool free = false;
        std::thread([&] {
            std::recursive_mutex& lock = LumsiftForApertureTestAccess::engineLock(engine);
            if ((free = lock.try_lock()))
                lock.unlock();
        }).join();
        return free;
    }

    EventLog events;
    Ptr<QueueMainThread> main = std::make_shared<QueueMainThread>();
    Ptr<RecordingLoadingPage> loadingPage = std::make_shared<RecordingLoadingPage>(events);
    Ptr<RecordingResultsPage> resultsPage = std::make_shared<RecordingResultsPage>(events);
    Ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>(events);
    LumsiftForAperture& engine = LumsiftForAperture::sharedLumsiftForAperture();
};

// Everything one engine test needs over the fake application, made afresh for each TEST.
struct EngineHarness : RecordedEngine {
    using Access = LumsiftForApertureTestAccess;
    using Fake = scripting::FakeApertureApplication;

    explicit EngineHarness(const Ptr<Fake>& fake = Fake::make())
        : RecordedEngine([fake] { return fake; }), app(fake) {}
    // Loads the library through the engine and runs the posted work; clears the events and
    // the fake's call log afterwards when `clear` is true.
    void load(bool clear = true) {
        engine.loadLibrary(loadingPage);
        main->drain();
        if (clear) {
            events.clear();
            app->clearCalls();
        }
    }
    // Adds a version to `projectId` with the given stored fingerprints (nullopt: no tag).
    void addImage(const std::string& projectId, const std::string& id,
                  std::optional<uint64_t> plain, std::optional<uint64_t> plus,
                  std::optional<uint64_t> pro) {
        app->addVersion(projectId, id);
        const std::pair<const char*, std::optional<uint64_t>> tags[] = {
            {kTagPlain, plain}, {kTagPlus, plus}, {kTagPro, pro}};
        for (const auto& [name, value] : tags)
            if (value)
                app->setCustomTag(id, name, std::to_string(*value));
    }

    Ptr<Fake> app;
};

// Runs `work` on a thread of its own: true when it returns within 20 seconds. When it does not,
// the FIFOs `fifos` are opened for writing and closed again, which ends any read waiting on them
// (it then finds the end of the file), and `work` is waited for.
inline bool endsWithin20Seconds(const std::function<void()>& work,
                                const std::vector<std::filesystem::path>& fifos) {
    std::promise<void> done;
    std::future<void> ended = done.get_future();
    std::thread worker([&] {
        work();
        done.set_value();
    });
    const bool inTime = ended.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    while (ended.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
        for (const std::filesystem::path& fifo : fifos)
            if (const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK); fd >= 0)
                close(fd);
    worker.join();
    return inTime;
}

// Readability is the real user's (access(2)), and root reads every file. While this lives, a
// process running as root has the real uid of "nobody", so a mode-0 file reads as unreadable;
// its effective uid stays root, so everything else goes on as before.
class AsUnprivilegedReader {
public:
    AsUnprivilegedReader() {
        if (geteuid() == 0 && setreuid(65534, -1) != 0)
            throw std::runtime_error("cannot take the real uid of nobody");
    }
    ~AsUnprivilegedReader() {
        if (getuid() != was_ && setreuid(was_, -1) != 0)
            std::abort(); // tests after this one must not run as "nobody"
    }
    AsUnprivilegedReader(const AsUnprivilegedReader&) = delete;

private:
    const uid_t was_ = getuid();
};

} // namespace testing
} // namespace lumsift
