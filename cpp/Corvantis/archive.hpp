// A .zip archive written natively. Parts are deflated at the level the
// library's own save uses, so the archive comes out the same size; a large
// part is streamed in chunks that all cores deflate at once and that are
// joined into one deflate stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace corvantis {

// A failed open or write of the archive file; `error` is the errno value.
struct ArchiveError : std::runtime_error {
    ArchiveError(int error, const char *what) : std::runtime_error(what), error(error) {}
    int error;
};

// Threads that deflate a streamed part (one per core).
unsigned deflate_threads();

// Use from one thread; it needs no Python and may run without the GIL.
class ZipWriter {
public:
    // Creates or truncates the file at `path` (file system encoding). An
    // existing file keeps its permission bits. `threads` is what a streamed
    // part asks for; it is deflated by fewer (down to the calling thread
    // alone) when the system refuses to start some.
    explicit ZipWriter(const std::string &path, unsigned threads = deflate_threads());
    ~ZipWriter();
    ZipWriter(const ZipWriter &) = delete;
    ZipWriter &operator=(const ZipWriter &) = delete;

    // One whole part.
    void add(std::string_view name, std::string_view data);

    // One part handed over piece by piece: begin, any number of writes, end.
    void begin(std::string_view name);
    void write(std::string_view data);
    void end();

    // Writes the central directory and closes the file.
    void close();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace corvantis
