// What the engine benchmarks share: access to the engine's lists (the engine declares this a
// friend), a main thread that counts posts and runs nothing, pages and a delegate that are never
// shown, and a timer.
#pragma once

#include "engine/LumsiftForAperture.h"

#include <chrono>
#include <functional>
#include <malloc.h>

namespace lumsift {

struct LumsiftForApertureTestAccess {
    static LoadedLibrary& loaded(LumsiftForAperture& e) { return e.loaded; }

    // Heap bytes that the loaded lists hold: the vectors' buffers and every string's own
    // buffer (strings short enough to live inside the object take nothing more).
    static std::size_t loadedListBytes(LumsiftForAperture& e) {
        const auto stringHeap = [](const std::string& s) -> std::size_t {
            return s.capacity() > 15 ? malloc_usable_size(const_cast<char*>(s.data())) : 0;
        };
        const LoadedLibrary& l = e.loaded;
        std::size_t bytes = l.allImages().capacity() * sizeof(ImageVersion) +
                            l.allImageIDs().capacity() * sizeof(std::string);
        for (const auto& image : l.allImages())
            bytes += stringHeap(image.id());
        for (const auto& id : l.allImageIDs())
            bytes += stringHeap(id);
        for (const auto& list :
             {l.allLumsiftClassicHahes(), l.allLumsiftPlusHahes(), l.allLumsiftProHahes()})
            bytes += list ? list->capacity() * sizeof(FingerprintEntry) : 0;
        return bytes;
    }
};

namespace bench {

// Posts are counted and dropped: the benchmarks time the worker alone.
class CountingMainThread : public MainThread {
public:
    void post(std::function<void()>) override { ++posts; }
    void runAndWait(std::function<void()> work) override { work(); }
    std::size_t posts = 0;
};

// A loading page without controls; its analysis choice is `choice`.
class NoLoadingPage : public LoadingPage {
public:
    explicit NoLoadingPage(int32_t choice = kAlgorithmAll) : choice_(choice) {}
    ProgressIndicator* retrievProgressIndicator() override { return nullptr; }
    TextField* retrieveStatusLabel() override { return nullptr; }
    TextField* totalImagesLabel() override { return nullptr; }
    TextField* analysedImagesLabel() override { return nullptr; }
    TextField* notAnalysedImagesLabel() override { return nullptr; }
    int32_t selectedAlgorithm() const override { return choice_; }
    bool selectionMode() const override { return false; }
    void disableAnalyseButton() override {}
    void enableAnalyseButton() override {}
    void stopAnimation() override {}

private:
    int32_t choice_;
};

// A results page without controls, at a fixed sensitivity.
class NoResultsPage : public ResultsPage {
public:
    explicit NoResultsPage(int64_t sensitivity) : sensitivity_(sensitivity) {}
    ProgressIndicator* retrievProgressIndicator() override { return nullptr; }
    TextField* analysedImagesLabel() override { return nullptr; }
    TextField* similarImagesLabel() override { return nullptr; }
    TextField* retrieveStatusLabel() override { return nullptr; }
    TextField* specialMessagesLabel() override { return nullptr; }
    int64_t sensitivity() const override { return sensitivity_; }
    bool autoSensitive() const override { return false; }
    void setSensitivity(int64_t) override {}
    void setMoreImagesEnabled(bool) override {}
    void setLessImagesEnabled(bool) override {}
    void setMoreImagesText(const std::string&) override {}
    void setLessImagesText(const std::string&) override {}
    void setPerSensitivityToolTip(const std::string&) override {}
    void setClearKeywordsEnabled(bool) override {}
    void enableStartSearchButton() override {}

private:
    int64_t sensitivity_;
};

// A delegate that shows nothing and grants nothing.
class NoDelegate : public AppDelegate {
public:
    void enableNextView() override {}
    void disableNextView() override {}
    void showAlert(const std::string&, const std::string&) override {}
    void userSelectedFiles(const std::string&) override {}
};

// Wall-clock milliseconds that `work` takes.
inline double millisecondsOf(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace bench
} // namespace lumsift
