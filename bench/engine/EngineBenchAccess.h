// Access to the engine's lists for the engine benchmarks (the engine declares this a friend), and
// a main thread that runs nothing but counts what is posted.
#pragma once

#include "engine/LumsiftForAperture.h"

#include <malloc.h>

namespace lumsift {

struct LumsiftForApertureTestAccess {
    static std::vector<ImageVersion>& allImages(LumsiftForAperture& e) { return e.allImages; }
    static std::vector<std::string>& allImageIDs(LumsiftForAperture& e) { return e.allImageIDs; }
    static std::shared_ptr<FingerprintList>& list(LumsiftForAperture& e, int32_t code) {
        if (code == kAlgorithmPlus)
            return e.allLumsiftPlusHahes;
        if (code == kAlgorithmPlain)
            return e.allLumsiftClassicHahes;
        return e.allLumsiftProHahes;
    }

    // Heap bytes that the loaded lists hold: the vectors' buffers and every string's own
    // buffer (strings short enough to live inside the object take nothing more).
    static std::size_t loadedListBytes(LumsiftForAperture& e) {
        const auto stringHeap = [](const std::string& s) -> std::size_t {
            return s.capacity() > 15 ? malloc_usable_size(const_cast<char*>(s.data())) : 0;
        };
        std::size_t bytes = e.allImages.capacity() * sizeof(ImageVersion) +
                            e.allImageIDs.capacity() * sizeof(std::string);
        for (const auto& image : e.allImages)
            bytes += stringHeap(image.id());
        for (const auto& id : e.allImageIDs)
            bytes += stringHeap(id);
        for (const auto* list :
             {&e.allLumsiftClassicHahes, &e.allLumsiftPlusHahes, &e.allLumsiftProHahes})
            bytes += *list ? (*list)->capacity() * sizeof(FingerprintEntry) : 0;
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

} // namespace bench
} // namespace lumsift
