// The engine: the one LumsiftForAperture of the process. It drives the photo application over its
// scripting interface, holds the library as last loaded (image versions, identifiers, master paths
// and the three fingerprint lists, index by index), runs the load, the analysis and the search,
// and reports to the pages and the delegate through engine/Pages.h.
//
// Threads: loadLibrary, analyseImages and detectSimilar run on the caller's thread (the pages
// start each on a new detached std::thread); every control change is posted to the main thread.
// The analysis has worker threads of its own (GridWorkers) that decode masters ahead of its
// steps and touch nothing else. The engine object is its own lock (engineLock): the analysis
// holds it per image, the search for its whole comparison; the load takes none.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Fingerprints.h"
#include "engine/LoadedLibrary.h"
#include "engine/Pages.h"
#include "engine/helpers.h"
#include "platform/scripting/Aperture.h"
#include "platform/scripting/ApertureLibrary.h"

namespace lumsift {

class GridWorkers;
class Lumsift;
class PowerAssertions;
class UserNotifications;

inline constexpr const char* kKeywordParent = "ZUL Lumsift";
using scripting::kApertureBundleIdentifier;

// Reads a tag text as strtoull does in base 10 (blanks skipped, optional sign, digits up to the
// first other character; no digits give 0; too large gives 2^64 - 1).
uint64_t fingerprintFromText(std::string_view text);

// The stored fingerprint under the tag `name` among one image's tags (value t belongs to name t;
// lists of different lengths pair up as far as both go; a later tag of that name wins, as in a
// map built from the two lists): its number, or the null marker when there is no such tag.
// Borrows both lists.
FingerprintEntry storedFingerprint(const std::vector<std::string>& names,
                                   const std::vector<std::string>& values, std::string_view name);

class LumsiftForAperture {
public:
    // The one instance, made and initialised by the first call (serialised); later calls take no
    // lock.
    static LumsiftForAperture& sharedLumsiftForAperture();

    LumsiftForAperture(const LumsiftForAperture&) = delete;
    LumsiftForAperture& operator=(const LumsiftForAperture&) = delete;
    LumsiftForAperture(LumsiftForAperture&&) = delete;
    LumsiftForAperture& operator=(LumsiftForAperture&&) = delete;

    // --- Switches ---
    // The search list becomes the plus list for 1, the plain list for 3, the Pro list otherwise.
    void switchSearchAlgorithm(int32_t algorithm);
    // Recounts the analysed images for the loading page's choice and posts the three counts.
    void switchLumsiftAlgorithm();

    // --- Small operations (wrap the scripting interface; all but selectionCount and
    // versionCheck catch nothing) ---
    std::string imageUniqueId(const ImageVersion& image);
    int64_t allImagesCount() const;
    // Keeps the delegate (shared ownership).
    void setAppDelegate(std::shared_ptr<AppDelegate> delegate);
    // Whom the load's "ERROR" alert tells the user to contact (copied); empty until set. The
    // delegate sets it at start-up, before any load. Any thread.
    void setSupportContact(std::string contact);
    std::vector<ImageVersion> getSelection();
    // The number of images selected in the photo application; 0 while it is not running
    // (without asking for the selection), and 0, logged, when it cannot answer.
    int64_t selectionCount();
    std::optional<std::string> imageFileName(const ImageVersion& image);
    bool photoApplicationIsRunning();
    bool photoOnline(const ImageVersion& image);
    std::string getVersion();
    // True when a problem was reported (alert through the delegate).
    bool versionCheck(bool report);

    // --- Library load ---
    // Reads every project's versions, identifiers and stored fingerprints into new lists and
    // reports on `page` (kept as dataView; shared ownership). When the application's answers do
    // not pair up, or a request fails (or anything else throws), alerts "ERROR" and stops, giving
    // back the page's controls; nothing passes out. A project enters the lists only
    // whole, so every list holds the projects read before the failing one, index by index.
    // Caller: a worker thread; no analysis or search runs meanwhile.
    void loadLibrary(std::shared_ptr<LoadingPage> page);

    // --- Master files ---
    // Rebuilds allImagePaths: database, else ApertureData.xml, else empty strings. A file that is
    // no regular file (a FIFO, a device), or an ApertureData.xml above 1 GiB, cannot be used.
    void loadXmlData();
    // Fills allImagePaths from the package database; false (nothing added) when it cannot be used.
    bool loadApertureDataSqlite();
    // A file to fingerprint: the master read in place, else a copy the photo application exports
    // into exportFolder; nullopt when neither can be had (an export the application cannot
    // answer is logged and gives none).
    std::optional<std::filesystem::path> exportImage(const ImageVersion& image);

    // --- Fingerprint tags and search keywords ---
    // "Lumsf" in addLumsfKeyword and removeLumsfKeywords is their given spelling, kept on
    // purpose: do not correct it.
    // Writes the kind's tag ("Lumsift", "Lumsift+", "LumsiftPro" for 3, 1, 2) with the unsigned
    // decimal text of hashVal; any other code writes nothing. Scripting errors pass out.
    void saveLumsiftHash(const ImageVersion& image, uint64_t hashVal, int32_t algorithm);
    // [plain, plus, Pro]: a number for each kind asked (0 all, 1, 2, 3) that the image carries,
    // read as strtoull reads it; the null marker otherwise. Value and name lists of different
    // lengths pair up as far as both go. Scripting errors pass out.
    FingerprintReading retrieveLumsiftHash(const ImageVersion& image, int32_t algorithm);
    // Assigns `keyword` under "ZUL Lumsift" and records the pair (when a record exists).
    // Caller: the search, holding engineLock.
    void addLumsfKeyword(const ImageVersion& image, const std::string& keyword);
    // Main thread: deletes the recorded keywords (each pair the first keyword of that name under
    // "ZUL Lumsift" on its image, names compared after NFC normalisation), forgets the record,
    // disables Clear Keywords on `page` (borrowed). When the application cannot answer, the pairs
    // not yet removed stay recorded, the failure is logged and alerted, and Clear Keywords stays
    // enabled; nothing passes out.
    void removeLumsfKeywords(ResultsPage& page);

    // --- Long operations ---
    // Computes the fingerprints of the chosen kinds that the loaded images (or the selected
    // ones) lack, stores each as a tag and in the lists, and reports on `page` (kept as
    // dataView; shared ownership). A request that fails ends that image as a failed
    // preparation; an image whose tags the library refuses is not counted as analysed, and a
    // run with such images ends "Analysis Incomplete" with their number instead of claiming
    // success. A selection that cannot be read, or any other error, stops the run with an
    // alert and the controls given back; nothing passes out. The engine lock is released and
    // the idle-sleep assertion given back on every way out. The masters read in place are
    // decoded ahead of the steps by analysisWorkers() threads, which stop with the run; the
    // run's reports, tags and log lines are those of one thread doing everything. Caller: a
    // worker thread, one run at a time, no load meanwhile.
    void analyseImages(std::shared_ptr<LoadingPage> page);
    // Searches the selection against the loaded images and keywords the matches; reports on
    // `page` (shared ownership) without waiting for the main thread. It compares the images of
    // the load that the search list covers, and its progress runs over those. A request that
    // fails, or any other error, ends the search: logged, the page says the search stopped, the
    // search and Next buttons come back, and every keyword written so far is recorded (Clear
    // Keywords enabled for it); nothing passes out and the engine lock is released on every way
    // out. Caller: a worker thread, one search at a time.
    void detectSimilar(std::shared_ptr<ResultsPage> page);

    // --- The analysis' workers (any thread; read when a run starts) ---
    // Threads that decode masters and render their grids ahead of the analysis' steps; 0, the
    // default, is one per hardware thread, and 1 prepares every image in its own step.
    unsigned analysisWorkers() const { return _analysisWorkers.load(); }
    void setAnalysisWorkers(unsigned workers) { _analysisWorkers.store(workers); }

    // --- Stopping (any thread) ---
    // True from the start of an analysis or a search until its last report has been posted.
    bool runUnderway() const { return runsUnderway.load() > 0; }
    // Ends every analysis and search at its next image boundary, now and for the rest of the
    // process: an analysis before its next image, a search before its next target, so that what
    // one image's step writes is written whole. Sent when the application quits during a run.
    void requestStop() { stopRequested = true; }

    // --- Atomic properties ---
    int64_t hashedImageCount() const { return _hashedImageCount.load(); }
    void setHashedImageCount(int64_t v) { _hashedImageCount.store(v); }
    int64_t problemImageCount() const { return _problemImageCount.load(); }
    void setProblemImageCount(int64_t v) { _problemImageCount.store(v); }
    std::optional<std::string> apertureLibrary() const;
    void setApertureLibrary(std::optional<std::string> path);
    bool dataLoaded() const { return _dataLoaded.load(); }
    void setDataLoaded(bool v) { _dataLoaded.store(v); }
    uint64_t lessSensitiveValue() const { return _lessSensitiveValue.load(); }
    void setLessSensitiveValue(uint64_t v) { _lessSensitiveValue.store(v); }
    uint64_t moreSensitiveValue() const { return _moreSensitiveValue.load(); }
    void setMoreSensitiveValue(uint64_t v) { _moreSensitiveValue.store(v); }

    // --- Platform seams (shared ownership; defaults are the system's) ---
    void setPowerAssertions(std::shared_ptr<PowerAssertions> power);
    void setUserNotifications(std::shared_ptr<UserNotifications> notifications);

    // Forgets all library, search and page state and takes the application registered for
    // "com.apple.aperture" afresh, as a new process would have it (tests only).
    void resetForTesting();

private:
    friend struct LumsiftForApertureTestAccess;
    LumsiftForAperture(); // init

    // Posts `work` on the main thread (no wait).
    void post(std::function<void()> work);
    // Reports to pages and delegate that the engine does not hold are dropped; values read as 0.
    std::shared_ptr<LoadingPage> loadingPage() const;
    std::shared_ptr<AppDelegate> delegate() const;
    // Post `report` on the main thread (no wait) against the loading page, the delegate, or
    // `page`; dropped when there is none. The page is kept alive until the report has run.
    void postToDataView(std::function<void(LoadingPage&)> report);
    void postToDelegate(std::function<void(AppDelegate&)> report);
    void postToResults(const std::shared_ptr<ResultsPage>& page,
                       std::function<void(ResultsPage&)> report);
    // Sets a control's text; a control the page does not have (null) is passed over.
    static void setText(TextField* field, const std::string& text);
    // The loading page's analysis choice; 0 without a loading page.
    int32_t dataViewSelectedAlgorithm() const;
    // The steps of loadLibrary; a ScriptingError passes out.
    void loadLibraryFrom(std::shared_ptr<LoadingPage> page);
    // helpers::fileExists with the read-access prompt, but once a prompt of the current
    // analysis run has left its file unreadable, a later unreadable file is only logged; that
    // prompt sets readAccessRefused.
    bool readableFile(const std::string& path);
    // One recorded pair's deletion (FingerprintTags.cpp); a ScriptingError passes out.
    void removeRecordedKeyword(const ImageVersion& image, const std::string& name);
    // Ends a load whose answers do not pair up: the "ERROR" alert, stopAnimation and
    // enableAnalyseButton. The lists hold the projects read before the failing one.
    void stopLoadAtCommunicationProblem();
    // The analysis after its set-up of assertion and calculator: errors pass out.
    void analyseWith(Lumsift& calculator, const std::shared_ptr<LoadingPage>& page,
                     UserNotifications& notifications);
    // The grid workers of a run over `images` images, as many as analysisWorkers() says; none
    // where the steps prepare every image themselves (one worker, or at most one image).
    std::unique_ptr<GridWorkers> startGridWorkers(std::size_t images) const;
    // Ends a run whose whole list was handled but `images` of whose images the library refused
    // tags: "Analysis Incomplete", a notification and an alert that give their number.
    void endWithFingerprintsNotStored(std::size_t images, UserNotifications& notifications);
    // The engine lock for a search, and for an analysis step: a search that waits for the lock
    // gets it before the analysis' next step, however short the steps are.
    std::unique_lock<std::recursive_mutex> lockForSearch();
    std::unique_lock<std::recursive_mutex> lockForStep();
    // Ends a run that cannot go on: `logged` in the log, `shown` (when given) in an "ERROR"
    // alert, the status "Analysis Stopped", the analyse controls and Next enabled.
    void stopAnalysis(const std::string& logged, const std::optional<std::string>& shown);
    // Counts one analysis or search as underway while it lives.
    class UnderwayRun {
    public:
        explicit UnderwayRun(std::atomic<int>& runs) : runs_(runs) { ++runs_; }
        ~UnderwayRun() { --runs_; }
        UnderwayRun(const UnderwayRun&) = delete;
        UnderwayRun& operator=(const UnderwayRun&) = delete;

    private:
        std::atomic<int>& runs_;
    };
    // One analysis run and one search, with their steps (AnalysisRun.h, Search.cpp).
    class AnalysisRun;
    class SimilaritySearch;
    // Back to the start values of the engine's table and `init` (constructor and reset).
    void initFields();
    // Number of times init has run in this process (tests).
    static inline std::atomic<int> initRuns{0};

    // Fields, in the order of the engine's table; the library as last loaded (allImages,
    // allImageIDs, allImagePaths, the three fingerprint lists and the search list
    // allLumsiftHahes) is `loaded`, which keeps them index-aligned.
    std::shared_ptr<scripting::ApertureApplication> photoApplication;
    // A folder of the user's own (0700) for exported copies, removed at exit.
    std::string exportFolder;
    std::shared_ptr<helpers> help;
    std::shared_ptr<AppDelegate> appDelegate;
    std::string supportContact;
    std::shared_ptr<LoadingPage> dataView;
    LoadedLibrary loaded;
    std::atomic<int64_t> _allImagesCount{0};
    // Absent (null) before the first search with a selection and after a removal.
    std::unique_ptr<std::vector<ImageVersion>> taggedImages;
    std::unique_ptr<std::vector<std::string>> taggedImageKeyword;
    std::atomic<int64_t> _similaritySensitivity{0};
    std::atomic<bool> _autoSensitive{false};
    std::atomic<int32_t> searchUsing{0};
    std::atomic<bool> _dataLoaded{false};
    std::atomic<int64_t> _hashedImageCount{0};
    std::atomic<int64_t> _problemImageCount{0};
    std::optional<std::string> _apertureLibrary;
    std::atomic<uint64_t> _lessSensitiveValue{0};
    std::atomic<uint64_t> _moreSensitiveValue{0};
    // A read-access prompt of the current analysis run left its file unreadable.
    std::atomic<bool> readAccessRefused{false};
    // Analyses and searches underway; requestStop was sent.
    std::atomic<int> runsUnderway{0};
    std::atomic<bool> stopRequested{false};
    std::atomic<unsigned> _analysisWorkers{0};
    // Searches waiting for engineLock.
    std::atomic<int> searchesWaiting{0};

    std::shared_ptr<PowerAssertions> powerAssertions;
    std::shared_ptr<UserNotifications> userNotifications;

    // Guards the pointer fields that the main thread and workers both set and read (dataView,
    // appDelegate, supportContact, _apertureLibrary, the seams); never held across a call out.
    mutable std::mutex fieldsMutex;
    // The engine's own lock: per image in the analysis, whole comparison in the search.
    std::recursive_mutex engineLock;
};

} // namespace lumsift
