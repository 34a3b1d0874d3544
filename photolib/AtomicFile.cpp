// Files replaced whole: a temporary file of a unique name beside the file (or in a folder on its
// file system), synced and renamed over it.
#include "photolib/AtomicFile.h"

#include "photolib/Failure.h"
#include "platform/fd/UniqueFd.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace lumsift::photolib {
namespace fs = std::filesystem;

namespace {

// Writes `text` to a new file of a unique name in `folder`, to be put in the place of `file` by
// replaceFile(). Returns the temporary file; throws ScriptingError when it cannot be written.
fs::path writeTemporary(const fs::path& file, std::string_view text, const fs::path& folder) {
    std::string name = (folder / file.filename()).string() + ".tmp-XXXXXX";
    const UniqueFd out(mkstemp(name.data()));
    if (!out.valid())
        fail("WriteFailed", "cannot write beside " + file.string() + ": " + std::strerror(errno));
    const fs::path temporary = name;
    int error = fchmod(out.get(), 0644) == 0 ? 0 : errno;
    for (size_t done = 0; error == 0 && done < text.size();) {
        const ssize_t n = write(out.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR)
            error = errno;
        if (n > 0)
            done += static_cast<size_t>(n);
    }
    if (error == 0 && fsync(out.get()) != 0)
        error = errno;
    if (error != 0) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        fail("WriteFailed", "cannot write " + temporary.string() + ": " + std::strerror(error));
    }
    return temporary;
}

void replaceFile(const fs::path& temporary, const fs::path& file) {
    std::error_code error;
    fs::rename(temporary, file, error);
    if (!error)
        return;
    fs::remove(temporary, error);
    fail("WriteFailed", "cannot write " + file.string() + ": " + error.message());
}

} // namespace

void writeFileAtomically(const fs::path& file, std::string_view text,
                         const fs::path& temporaryFolder) {
    replaceFile(
        writeTemporary(file, text, temporaryFolder.empty() ? file.parent_path() : temporaryFolder),
        file);
}

} // namespace lumsift::photolib
