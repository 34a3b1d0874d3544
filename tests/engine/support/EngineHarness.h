// A fresh engine for one test: the fake photo application registered for "com.apple.aperture",
// a queue as the main thread, recording pages and delegate, and access to the engine's fields.
#pragma once

#include "engine/LumsiftForAperture.h"
#include "platform/scripting/FakeApertureApplication.h"
#include "tests/engine/support/Recorders.h"

#include <memory>
#include <unistd.h>

namespace lumsift {

// Reads and sets the engine's private state for tests (declared a friend by the engine).
struct LumsiftForApertureTestAccess {
    using E = LumsiftForAperture;
    static std::vector<ImageVersion>& allImages(E& e) { return e.allImages; }
    static std::vector<std::string>& allImageIDs(E& e) { return e.allImageIDs; }
    static std::vector<std::string>& allImagePaths(E& e) { return e.allImagePaths; }
    static std::shared_ptr<FingerprintList> plainList(E& e) { return e.allLumsiftClassicHahes; }
    static std::shared_ptr<FingerprintList> plusList(E& e) { return e.allLumsiftPlusHahes; }
    static std::shared_ptr<FingerprintList> proList(E& e) { return e.allLumsiftProHahes; }
    static std::shared_ptr<FingerprintList> searchList(E& e) {
        std::lock_guard lock(e.fieldsMutex);
        return e.allLumsiftHahes;
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
    static void setDataView(E& e, std::shared_ptr<LoadingPage> page) {
        std::lock_guard lock(e.fieldsMutex);
        e.dataView = std::move(page);
    }
    static std::recursive_mutex& engineLock(E& e) { return e.engineLock; }
    static int initRuns() { return E::initRuns.load(); }
};

namespace testing {

// Everything one engine test needs, made afresh. Construct one at the start of each TEST.
struct EngineHarness {
    EngineHarness();

    std::shared_ptr<scripting::FakeApertureApplication> app;
    EventLog events;
    std::shared_ptr<QueueMainThread> main;
    std::shared_ptr<RecordingLoadingPage> loadingPage;
    std::shared_ptr<RecordingResultsPage> resultsPage;
    std::shared_ptr<RecordingDelegate> delegate;
    LumsiftForAperture& engine;

    using Access = LumsiftForApertureTestAccess;

    // Hands the delegate to the engine, as the application does at start-up.
    void giveDelegate() { engine.setAppDelegate(delegate); }
    // Loads the library through the engine and runs the posted work; clears the events and
    // the fake's call log afterwards when `clear` is true.
    void load(bool clear = true);
    // Runs a search with the results page and runs the posted work.
    void search() {
        engine.detectSimilar(resultsPage);
        main->drain();
    }
    // Adds a version to `projectId` with the given stored fingerprints (nullopt: no tag).
    void addImage(const std::string& projectId, const std::string& id,
                  std::optional<uint64_t> plain, std::optional<uint64_t> plus,
                  std::optional<uint64_t> pro);
    // YES when another thread can take the engine lock now.
    bool engineLockIsFree();
};

// Readability is the real user's (access(2)), and root reads every file. While this lives, a
// process running as root has the real uid of "nobody", so a mode-0 file reads as unreadable;
// its effective uid stays root, so everything else goes on as before.
class AsUnprivilegedReader {
public:
    AsUnprivilegedReader();
    ~AsUnprivilegedReader();
    AsUnprivilegedReader(const AsUnprivilegedReader&) = delete;
    AsUnprivilegedReader& operator=(const AsUnprivilegedReader&) = delete;

private:
    uid_t was_;
};

} // namespace testing
} // namespace lumsift
