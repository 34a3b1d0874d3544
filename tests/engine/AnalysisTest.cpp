// The library analysis against the fake photo application: set-up order, the outcome table
// (tags, lists, counts), plus after plain on one grid, the selection pre-pass, the stale-library
// stop, failed requests, and the end of a run.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

#include "fingerprint/Lumsift.h"
#include "platform/log/Log.h"
#include "tests/engine/support/EngineHarness.h"
#include "tests/support/TestImages.h"

namespace lumsift {
namespace {

namespace fs = std::filesystem;
using Access = LumsiftForApertureTestAccess;
using testing::EngineHarness;
const std::string& kNotification = testing::kCompleteNotification;
using Strings = std::vector<std::string>;

// An engine over the fake with recording power and notifications, and real pictures as masters.
struct Analysis : EngineHarness {
    Analysis() {
        giveDelegate();
        recordSystem();
        app->addProject("Project", "P1");
    }
    // Adds a version whose master is photo `photo` (or garbage for -1).
    void add(const std::string& id, std::optional<uint64_t> plain, std::optional<uint64_t> plus,
             std::optional<uint64_t> pro, int photo = 0) {
        addImage("P1", id, plain, plus, pro);
        if (photo < 0)
            testimages::writeBytes(master(id), "this is no picture");
        else
            testimages::writePhoto(master(id), photo);
        app->setMasterFile(id, master(id));
    }
    void run(int32_t choice, bool selection = false) {
        loadingPage->algorithm = choice;
        loadingPage->selectionOnly = selection;
        engine.analyseImages(loadingPage);
        main->drain();
    }
    std::optional<std::string> tag(const std::string& id, const char* name) const {
        return app->customTag(id, name);
    }
    // The tag writes, "<id> <name> <value>", with computed values shown as "#".
    Strings tagWrites() {
        Strings writes;
        for (std::string call : app->callsStartingWith("addCustomTag ")) {
            call.erase(0, 13);
            const std::size_t blank = call.rfind(' ');
            if (call.substr(blank + 1) != "0")
                call = call.substr(0, blank) + " #";
            writes.push_back(call);
        }
        return writes;
    }
    fs::path master(const std::string& id) const {
        return dir / (id + ".jpg");
    }

    testimages::TempDir dir;
};

// What the calculator makes of one file: plain, then plus from the plain computation's greys
// when `plusAfterPlain`, else plus from the fresh grid; and Pro.
FingerprintReading expected(const fs::path& file, bool plusAfterPlain) {
    Lumsift calculator;
    EXPECT_TRUE(calculator.prepareImageData(file, true, true));
    FingerprintReading r;
    if (plusAfterPlain)
        r[0] = calculator.calculateLumsift(false);
    r[1] = calculator.calculateLumsift(true);
    r[2] = calculator.calculateHashPro();
    return r;
}

TEST(Analysis, OutcomeTableWholeLibrary) {
    Analysis a;
    a.add("A", {}, {}, {});    // prepared
    a.add("B", 5, {}, {});     // height 0
    a.add("C", 11, {}, 12);    // offline
    a.add("D", {}, {}, {});    // type not accepted
    a.add("E", {}, {}, {});    // no file to be had
    a.add("F", 1, 2, 3);       // nothing needed
    a.add("G", 21, {}, 0, -1); // does not decode: not prepared
    a.app->setHeight("B", 0);
    a.app->setOnline("C", false);
    a.app->setOtherTag("D", "FileName", "d.txt");
    a.app->setExportAnswer("E", {});
    a.load();
    ASSERT_EQ(a.engine.hashedImageCount(), 1); // only F holds all three
    a.run(kAlgorithmAll);

    EXPECT_EQ(a.tagWrites(), (Strings{"A Lumsift #", "A Lumsift+ #", "A LumsiftPro #", // prepared
                                      "B LumsiftPro 0", "B Lumsift+ 0", "B Lumsift 0", // height 0
                                      "C Lumsift 0", "C Lumsift+ 0", "C LumsiftPro 0", // offline
                                      "D Lumsift 0", "D Lumsift+ 0", "D LumsiftPro 0", // type
                                      "E Lumsift 0", "E Lumsift+ 0", "E LumsiftPro 0", // no file
                                      "G Lumsift+ 0", "G LumsiftPro 0"})); // not prepared
    const std::vector<FingerprintReading> lists = {
        expected(a.master("A"), true), {5, {}, {}}, {11, {}, 12}, {}, {}, {1, 2, 3}, {21, {}, 0}};
    for (std::size_t i = 0; i < lists.size(); ++i)
        EXPECT_EQ(Access::entries(a.engine, i), lists[i]) << "image " << i;
    // A +1; B, C, D, E problems +1 each; F nothing; G -1 +1.
    EXPECT_EQ(a.engine.hashedImageCount(), 6);
    EXPECT_EQ(a.engine.problemImageCount(), 4);
    Strings analysed;
    for (const int n : {2, 3, 4, 5, 6, 6, 6})
        analysed.push_back("dataView.analysedImagesLabel=" + std::to_string(n));
    EXPECT_EQ(a.events.startingWith("dataView.analysedImagesLabel"), analysed);
    EXPECT_EQ(a.events.startingWith("dataView.notAnalysedImagesLabel").back(),
              "dataView.notAnalysedImagesLabel=1");
}

TEST(Analysis, SetUpOrderAndNormalEnd) {
    Analysis a;
    a.add("F", 1, 2, 3);
    a.load();
    a.run(kAlgorithmAll);
    EXPECT_TRUE(a.tagWrites().empty());
    EXPECT_EQ(a.events.events(),
              (Strings{"power.create=Lumsift analysis in progress", kNotification,
                       "power.release=7", "delegate.disableNextView",
                       "dataView.disableAnalyseButton", "dataView.progress.indeterminate=0",
                       "dataView.progress.max=1", "dataView.retrieveStatusLabel=Analysing Images",
                       "delegate.enableNextView", "dataView.progress.value=1",
                       "dataView.analysedImagesLabel=1", "dataView.notAnalysedImagesLabel=0",
                       "dataView.retrieveStatusLabel=Analysis Complete",
                       "dataView.enableAnalyseButton"}));
    EXPECT_EQ(Access::dataView(a.engine), a.loadingPage);
    EXPECT_TRUE(a.engineLockIsFree());

    // An unknown choice computes nothing and ends normally; so does an empty list.
    a.add("A", {}, {}, {});
    a.load();
    a.run(7);
    EXPECT_TRUE(a.tagWrites().empty());
    EXPECT_EQ(a.events.startingWith("dataView.analysedImagesLabel"),
              Strings(2, "dataView.analysedImagesLabel=1"));
    EXPECT_EQ(a.events.count(kNotification), 1u);
    Analysis empty;
    empty.run(kAlgorithmAll);
    EXPECT_TRUE(empty.events.contains("dataView.retrieveStatusLabel=Analysis Complete"));
    EXPECT_EQ(empty.events.count(kNotification), 1u);
}

TEST(Analysis, PlusAfterPlainOnOneGridAndFreshWhenAlone) {
    Analysis a;
    a.add("A", {}, {}, {}, 1);
    a.add("B", 99, 0, {}, 2);
    a.load();
    const int64_t before = a.engine.hashedImageCount(); // 0: neither holds all three
    a.run(kAlgorithmAll);
    const FingerprintReading afterPlain = expected(a.master("A"), true);
    const FingerprintReading alone = expected(a.master("B"), false);
    EXPECT_EQ(a.tag("A", kTagPlus), std::to_string(*afterPlain[1]));
    EXPECT_EQ(a.tag("B", kTagPlus), std::to_string(*alone[1]));
    EXPECT_EQ(a.tag("B", kTagPro), std::to_string(*alone[2]));
    EXPECT_EQ(a.tag("B", kTagPlain), "99");
    EXPECT_EQ(a.tagWrites(), (Strings{"A Lumsift #", "A Lumsift+ #", "A LumsiftPro #",
                                      "B Lumsift+ #", "B LumsiftPro #"}));
    // A +1; B -1 (its plus was 0) and +1.
    EXPECT_EQ(a.engine.hashedImageCount(), before + 1);
}

TEST(Analysis, SelectionPrePassResetsThenRecomputes) {
    Analysis a;
    a.add("A", 7, 123, 9);
    a.add("B", {}, {}, {});
    a.load();
    a.app->setSelection({"B", "A"});
    a.run(kAlgorithmPlus, true);
    EXPECT_EQ(a.tagWrites(), (Strings{"A Lumsift+ 0", "B Lumsift+ #", "A Lumsift+ #"}));
    EXPECT_EQ(a.tag("A", kTagPlain), "7");
    EXPECT_EQ(a.tag("A", kTagPro), "9");
    const FingerprintEntry stored = fingerprintFromText(*a.tag("A", kTagPlus));
    EXPECT_EQ((*Access::plusList(a.engine))[0], stored);
    EXPECT_EQ(a.events.count(kNotification), 1u);

    // For all three kinds the pre-pass resets Pro, plus and plain, in that order, before the
    // first step; a kind held as "0" or not at all is not written.
    Analysis all;
    all.add("A", 7, 123, 9);
    all.add("B", 0, 5, {});
    all.load();
    all.app->setSelection({"B", "A"});
    all.run(kAlgorithmAll, true);
    EXPECT_EQ(all.tagWrites(),
              (Strings{"B Lumsift+ 0", "A LumsiftPro 0", "A Lumsift+ 0", "A Lumsift 0",
                       "B Lumsift #", "B Lumsift+ #", "B LumsiftPro #", "A Lumsift #",
                       "A Lumsift+ #", "A LumsiftPro #"}));
}

TEST(Analysis, RepeatedRunsOfProblemImagesCountEachImageOnce) {
    // A and D of height 0 (D with the "0" tags of an earlier session, so the load counts it), B
    // offline, C not a picture: whole-library runs in one load, then selection runs of D.
    Analysis a;
    a.add("A", {}, {}, {});
    a.add("B", {}, {}, {});
    a.add("C", {}, {}, {}, -1);
    a.add("D", 0, 0, 0);
    a.app->setHeight("A", 0);
    a.app->setOnline("B", false);
    a.app->setHeight("D", 0);
    a.load();
    ASSERT_EQ(a.engine.hashedImageCount(), 1);
    // The first run counts A, B and C once each; the second counts nothing again.
    for (const Strings& labels : {Strings{"2", "3", "4", "4"}, Strings(4, "4")}) {
        a.events.clear();
        a.run(kAlgorithmAll);
        Strings expected;
        for (const std::string& label : labels)
            expected.push_back("dataView.analysedImagesLabel=" + label);
        EXPECT_EQ(a.events.startingWith("dataView.analysedImagesLabel"), expected);
        EXPECT_EQ(a.engine.hashedImageCount(), 4);
        EXPECT_EQ(a.engine.problemImageCount(), 3);
    }
    a.app->setSelection({"D"});
    a.run(kAlgorithmAll, true);
    a.run(kAlgorithmAll, true);
    EXPECT_EQ(a.engine.hashedImageCount(), 4);
    EXPECT_EQ(a.events.startingWith("dataView.notAnalysedImagesLabel").back(),
              "dataView.notAnalysedImagesLabel=0");
}

TEST(Analysis, ImagesOfHeightZeroCountOnceInEitherMode) {
    // A without tags, B with only the plain "0" of an earlier session: the load counts neither.
    for (const bool selection : {false, true}) {
        SCOPED_TRACE(selection);
        Analysis a;
        a.add("A", {}, {}, {});
        a.add("B", 0, {}, {});
        a.add("F", 1, 2, 3);
        a.app->setHeight("A", 0);
        a.app->setHeight("B", 0);
        a.load();
        ASSERT_EQ(a.engine.hashedImageCount(), 1);
        a.app->setSelection({"A", "B"});
        for (int run = 1; run <= 2; ++run) {
            a.run(kAlgorithmAll, selection);
            EXPECT_EQ(a.engine.hashedImageCount(), 3) << "run " << run;
            EXPECT_EQ(a.engine.problemImageCount(), 2) << "run " << run;
            EXPECT_EQ(a.events.startingWith("dataView.notAnalysedImagesLabel").back(),
                      "dataView.notAnalysedImagesLabel=0")
                << "run " << run;
        }
    }
}

TEST(Analysis, StaleLibraryStopInTheMiddleOfASelection) {
    Analysis a;
    a.add("A", {}, {}, {});
    a.add("C", 55, {}, {});
    a.load();
    a.add("X", {}, {}, {}); // added after the load
    a.app->setSelection({"A", "X", "C"});
    a.run(kAlgorithmPlain, true);
    EXPECT_EQ(a.tagWrites(), (Strings{"C Lumsift 0", "A Lumsift #", "X Lumsift #"}));
    EXPECT_EQ(a.tag("C", kTagPlain), "0"); // as the pre-pass left it
    EXPECT_EQ((*Access::plainList(a.engine))[0], fingerprintFromText(*a.tag("A", kTagPlain)));
    EXPECT_EQ((*Access::plainList(a.engine))[1], 55u);
    const Strings events = a.events.events();
    ASSERT_GE(events.size(), 5u);
    // The last image's step never runs: after X's progress only the stop's reports.
    EXPECT_EQ(
        Strings(events.end() - 5, events.end()),
        (Strings{"dataView.progress.value=2", "dataView.retrieveStatusLabel=Analysis Complete",
                 "dataView.notAnalysedImagesLabel=Unknown", "dataView.enableAnalyseButton",
                 "delegate.enableNextView"}));
    const std::string staleAlert =
        "delegate.showAlert=Stale Library Data|An Image was not found in the library data loaded "
        "into Lumsift.  If you've recently added images into Aperture you will need to reload "
        "the library in Lumsift";
    EXPECT_EQ(a.events.count(staleAlert), 1u);
    EXPECT_EQ(a.events.count("dataView.analysedImagesLabel=2"), 0u);
    EXPECT_EQ(a.events.count("power.release=7"), 1u);
    EXPECT_EQ(a.events.count(kNotification), 0u);
    EXPECT_TRUE(a.engineLockIsFree());

    // After a reload the added image is found: look-ups follow the new load.
    a.load();
    const std::size_t alerts = a.events.count(staleAlert);
    a.run(kAlgorithmPlain, true);
    EXPECT_EQ(a.events.count(staleAlert), alerts);
    EXPECT_EQ((*Access::plainList(a.engine))[2], fingerprintFromText(*a.tag("X", kTagPlain)));
}

// True while thread `tid` of this process sleeps (state S), as a thread blocked on a lock does.
bool threadSleeps(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t name = line.rfind(')');
    return name != std::string::npos && name + 2 < line.size() && line[name + 2] == 'S';
}

TEST(Analysis, ASearchStartedDuringAStepWaitsForItAndSeesItsFingerprints) {
    // A has no fingerprints yet and shows the picture of T, which holds them all: a search for T
    // finds A only when it compares after A's step.
    Analysis a;
    a.add("A", {}, {}, {}, 3);
    const FingerprintReading t = expected(a.master("A"), true);
    a.add("T", t[0], t[1], t[2], 3);
    a.engine.switchSearchAlgorithm(kAlgorithmPlus);
    a.load();
    a.app->setSelection({"T"});
    a.resultsPage->sensitivityValue = 0;

    // A's step stops at its first request until the search is known to wait.
    std::promise<void> stepEntered;
    std::promise<void> stepMayGoOn;
    const std::shared_future<void> goOn = stepMayGoOn.get_future().share();
    std::promise<pid_t> searchStarted;
    std::atomic<bool> searchCompares{false};
    a.app->setRequestHook([&](const std::string& entry) {
        if (entry == "versionHeight A") {
            stepEntered.set_value();
            goOn.wait();
        } else if (entry == "selection") {
            searchStarted.set_value(gettid()); // the last request before the lock
        } else if (entry == "versionName T") {
            searchCompares = true; // the first request under the lock
        }
    });
    std::thread analysis([&] { a.engine.analyseImages(a.loadingPage); });
    stepEntered.get_future().wait();
    std::thread search([&] { a.engine.detectSimilar(a.resultsPage); });
    const pid_t searcher = searchStarted.get_future().get();
    // Were the search not held back, it would be comparing already; held back, it sleeps.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!searchCompares && !threadSleeps(searcher) && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::yield();
    const bool comparedDuringTheStep = searchCompares;
    stepMayGoOn.set_value();
    analysis.join();
    search.join();
    a.main->drain();

    EXPECT_FALSE(comparedDuringTheStep);
    EXPECT_EQ(a.resultsPage->similarLabel.value(), "1");
    ASSERT_EQ(a.app->keywordsOf("A").size(), 1u);
    EXPECT_EQ(a.app->keywordsOf("A")[0].name, "Lumsift T");
    const Strings calls = a.app->calls();
    const auto compared = std::ranges::find(calls, "versionName T");
    const auto lastOfStep = std::ranges::find_if(calls, [](const std::string& call) {
        return call.starts_with("addCustomTag A LumsiftPro ");
    });
    EXPECT_LT(lastOfStep, compared) << "the search compares after A's last fingerprint is stored";
    EXPECT_TRUE(a.engineLockIsFree());
}

TEST(Analysis, ASearchStartedDuringAParallelRunCompletesBetweenTwoSteps) {
    // Six images of T's picture without fingerprints, analysed with workers preparing ahead; the
    // search for T starts during the third image's step.
    Analysis a;
    for (int k = 0; k < 6; ++k)
        a.add("A" + std::to_string(k), {}, {}, {}, 3);
    const FingerprintReading t = expected(a.master("A0"), true);
    a.add("T", t[0], t[1], t[2], 3);
    a.engine.setAnalysisWorkers(4);
    a.engine.switchSearchAlgorithm(kAlgorithmPlus);
    a.load();
    a.app->setSelection({"T"});
    a.resultsPage->sensitivityValue = 0;

    std::thread search;
    bool searchWaited = false;
    a.app->setRequestHook([&](const std::string& entry) {
        if (entry != "versionHeight A2")
            return;
        search = std::thread([&] { a.engine.detectSimilar(a.resultsPage); });
        // The step goes on once the search waits for the engine lock.
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (Access::searchesWaiting(a.engine) == 0 && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::yield();
        searchWaited = Access::searchesWaiting(a.engine) == 1;
    });
    a.run(kAlgorithmAll);
    search.join();
    a.main->drain();

    ASSERT_TRUE(searchWaited);
    const Strings calls = a.app->calls();
    const auto at = [&calls](std::string_view prefix) {
        return std::ranges::find_if(calls, [prefix](const std::string& call) {
                   return call.starts_with(prefix);
               }) - calls.begin();
    };
    EXPECT_LT(at("addCustomTag A2 LumsiftPro "), at("versionName T"));
    EXPECT_LT(at("addKeyword T Lumsift T "), at("versionHeight A3")) << "the search ends before the next step";
    // It compared with the lists as the first three steps left them.
    EXPECT_EQ(a.resultsPage->similarLabel.value(), "3");
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(a.app->keywordsOf("A" + std::to_string(k)).size(), k < 3 ? 1u : 0u) << k;
    EXPECT_TRUE(a.events.contains(kNotification));
    EXPECT_TRUE(a.engineLockIsFree());
}

TEST(Analysis, FailedRequestEndsTheImageAsFailedPreparation) {
    Analysis a;
    a.add("A", {}, {}, {});
    a.add("B", {}, 4, {});
    a.add("C", {}, {}, {});
    a.load();
    a.app->failOn("versionOnline", "A");
    a.run(kAlgorithmAll);
    EXPECT_EQ(a.tagWrites(), (Strings{"A Lumsift 0", "A Lumsift+ 0", "A LumsiftPro 0",
                                      "B Lumsift #", "B LumsiftPro #", "C Lumsift #",
                                      "C Lumsift+ #", "C LumsiftPro #"}));
    EXPECT_EQ(a.engine.problemImageCount(), 0);
    EXPECT_EQ(a.engine.hashedImageCount(), 3);
    EXPECT_EQ(a.events.count(kNotification), 1u);
    EXPECT_TRUE(a.engineLockIsFree());
}

TEST(Analysis, ImagesWhoseFingerprintsWereNotStoredAreNotCountedAndTheRunClaimsNoSuccess) {
    Analysis a;
    a.add("A", {}, {}, {});
    a.add("B", {}, 4, {});
    a.add("C", {}, {}, {});
    a.add("D", {}, {}, {});
    a.app->setOnline("D", false);
    a.load();
    // C's and D's library writes fail throughout (the database stays locked, say).
    a.app->failOn("addCustomTag", "C");
    a.app->failOn("addCustomTag", "D");
    const log::Capture log;
    a.run(kAlgorithmAll);
    // One write each, not a second try of the "0" marks after the failure.
    EXPECT_EQ(a.app->callsStartingWith("addCustomTag C").size(), 1u);
    EXPECT_EQ(a.app->callsStartingWith("addCustomTag D").size(), 1u);
    EXPECT_EQ(a.tag("C", kTagPlain), std::nullopt);
    // C's fingerprints are not in the library, so the lists keep what they held.
    EXPECT_EQ((*Access::plainList(a.engine))[2], std::nullopt);
    EXPECT_EQ(a.engine.hashedImageCount(), 2);
    EXPECT_EQ(a.engine.problemImageCount(), 1);
    EXPECT_EQ(a.events.startingWith("dataView.notAnalysedImagesLabel").back(),
              "dataView.notAnalysedImagesLabel=2");
    EXPECT_EQ(std::ranges::count_if(log.lines(),
                                    [](const std::string& line) {
                                        return line.starts_with(
                                            "Analysis: the fingerprints of C could not be stored");
                                    }),
              1);
    // No success is claimed: another status, another notification, an alert with the number.
    const std::string message = "The fingerprints of 2 images could not be stored in your "
                                "library.  Analyse the library again to store them.";
    EXPECT_FALSE(a.events.contains("dataView.retrieveStatusLabel=Analysis Complete"));
    EXPECT_EQ(a.events.count(kNotification), 0u);
    EXPECT_TRUE(a.events.contains("dataView.retrieveStatusLabel=Analysis Incomplete"));
    EXPECT_EQ(a.events.startingWith("notify="),
              Strings{"notify=Lumsift Library Analysis Incomplete|" + message + "|sound"});
    EXPECT_EQ(a.events.startingWith("delegate.showAlert="),
              Strings{"delegate.showAlert=Analysis Incomplete|" + message});
    EXPECT_TRUE(a.events.contains("dataView.enableAnalyseButton"));
    EXPECT_EQ(a.events.count("power.release=7"), 1u);
    EXPECT_TRUE(a.engineLockIsFree());
}

TEST(Analysis, ASelectedImageWhoseResetTheLibraryRefusedIsWrittenToOnceAndNotStored) {
    // Every library write fails (the database stays locked, say). A and D hold fingerprints, so
    // the pre-pass tries to reset them; B holds none, so only its step writes; D is of height 0.
    for (const unsigned workers : {1u, 4u}) {
        SCOPED_TRACE(workers);
        Analysis a;
        a.engine.setAnalysisWorkers(workers);
        a.add("A", 7, 123, 9);
        a.add("B", {}, {}, {});
        a.add("D", 1, 2, 3);
        a.app->setHeight("D", 0);
        a.load();
        ASSERT_EQ(a.engine.hashedImageCount(), 2);
        a.app->failOn("addCustomTag");
        a.app->setSelection({"A", "B", "D"});
        a.run(kAlgorithmAll, true);
        // Each image waits for the library once: a refused reset ends its writes.
        for (const std::string id : {"A", "B", "D"})
            EXPECT_EQ(a.app->callsStartingWith("addCustomTag " + id + " ").size(), 1u) << id;
        EXPECT_EQ(a.tag("A", kTagPro), "9");
        EXPECT_EQ(a.engine.hashedImageCount(), 2);
        EXPECT_EQ(a.engine.problemImageCount(), 1);
        EXPECT_EQ(a.events.startingWith("delegate.showAlert="),
                  Strings{"delegate.showAlert=Analysis Incomplete|The fingerprints of 3 images "
                          "could not be stored in your library.  Analyse the library again to "
                          "store them."});
        EXPECT_EQ(a.events.count(kNotification), 0u);
        EXPECT_TRUE(a.engineLockIsFree());
    }
}

TEST(Analysis, FailedSelectionReadOrAnyOtherErrorStopsTheRunWithTheControlsBack) {
    // The selection cannot be read; or an error that is no request failure at the second image.
    for (const bool selection : {true, false}) {
        SCOPED_TRACE(selection);
        Analysis a;
        a.add("A", {}, {}, {});
        a.add("B", {}, {}, {});
        a.load();
        if (selection)
            a.app->failOn("selection");
        else
            a.app->failWith("versionHeight", "B", std::make_exception_ptr(std::bad_alloc()));
        const log::Capture log;
        a.run(kAlgorithmAll, selection);
        EXPECT_EQ(a.events.startingWith("delegate.showAlert=ERROR|The analysis stopped: ").size(),
                  1u);
        ASSERT_FALSE(log.lines().empty());
        EXPECT_TRUE(log.lines().back().starts_with("Analysis stopped: ")) << log.lines().back();
        const Strings events = a.events.events();
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(Strings(events.end() - 3, events.end()),
                  (Strings{"dataView.retrieveStatusLabel=Analysis Stopped",
                           "dataView.enableAnalyseButton", "delegate.enableNextView"}));
        EXPECT_EQ(a.events.count(kNotification), 0u);
        EXPECT_EQ(a.events.count("power.release=7"), 1u);
        EXPECT_TRUE(a.engineLockIsFree());
        EXPECT_EQ(a.tag("A", kTagPlain).has_value(), !selection);
    }
}

TEST(Analysis, StopRequestEndsTheRunAtTheNextImage) {
    Analysis a;
    a.add("A", {}, {}, {});
    a.add("B", {}, {}, {});
    a.add("C", {}, {}, {});
    a.load();
    bool underway = false;
    a.app->setRequestHook([&](const std::string& entry) {
        if (entry != "versionHeight B")
            return;
        underway = a.engine.runUnderway();
        a.engine.requestStop();
    });
    EXPECT_FALSE(a.engine.runUnderway());
    a.run(kAlgorithmAll);
    EXPECT_TRUE(underway);
    EXPECT_FALSE(a.engine.runUnderway());
    // B's step ends with all its fingerprints; C is not touched.
    EXPECT_EQ(a.tagWrites(), (Strings{"A Lumsift #", "A Lumsift+ #", "A LumsiftPro #",
                                      "B Lumsift #", "B Lumsift+ #", "B LumsiftPro #"}));
    EXPECT_TRUE(a.app->callsStartingWith("versionHeight C").empty());
    const Strings events = a.events.events();
    ASSERT_GE(events.size(), 5u);
    EXPECT_EQ(Strings(events.end() - 5, events.end()),
              (Strings{"dataView.analysedImagesLabel=2", "dataView.notAnalysedImagesLabel=1",
                       "dataView.retrieveStatusLabel=Analysis Stopped",
                       "dataView.enableAnalyseButton", "delegate.enableNextView"}));
    EXPECT_EQ(a.events.count(kNotification), 0u);
    EXPECT_EQ(a.events.count("power.release=7"), 1u);
    EXPECT_TRUE(a.engineLockIsFree());
}

TEST(Analysis, RunsOnWithoutAnIdleInhibitorOrNotificationService) {
    // No bus answers: the system layers fail quietly and the run goes on to its normal end.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket", 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/session_bus_socket", 1);
    EngineHarness h;
    h.app->addProject("Project", "P1");
    h.addImage("P1", "F", 1, 2, 3);
    h.load();
    h.engine.analyseImages(h.loadingPage);
    h.main->drain();
    EXPECT_TRUE(h.events.contains("dataView.retrieveStatusLabel=Analysis Complete"));
    EXPECT_TRUE(h.events.contains("dataView.enableAnalyseButton"));
}

} // namespace
} // namespace lumsift
