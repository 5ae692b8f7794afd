#pragma once

// RapidJSON's input for json/reader.cpp.

#include <rapidjson/reader.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace zdz::json {

// Rapidjson's input: the document, read byte by byte so that Tell() is the
// exact offset while the handler runs. The document is never written to:
// each decoded string goes to one scratch buffer that the next string reuses,
// so reading costs no copy of the document.
class OffsetStream {
public:
    using Ch = char;

    explicit OffsetStream(std::string_view text) : text_(text) {}

    Ch Peek() const { return read_ < text_.size() ? text_[read_] : '\0'; }
    Ch Take() { return read_ < text_.size() ? text_[read_++] : '\0'; }
    std::size_t Tell() const { return read_; }

    // RapidJSON's in-situ protocol. The pointer it keeps from PutBegin() may
    // go stale as the scratch grows: handlers read decoded() instead.
    Ch* PutBegin() {
        scratch_.clear();
        return scratch_.data();
    }
    void Put(Ch c) { scratch_.push_back(c); }
    std::size_t PutEnd(Ch*) { return scratch_.size(); }
    void Flush() {}

    // The string decoded last, without the terminating NUL RapidJSON adds.
    std::string_view decoded(std::size_t length) const { return {scratch_.data(), length}; }

    // The same, as a string of its own: a long one takes the scratch buffer
    // over rather than being copied, a short one leaves it for the next.
    std::string take_decoded(std::size_t length) {
        if (length < kCopiedStringBytes) {
            return std::string(decoded(length));
        }
        scratch_.resize(length);
        return std::move(scratch_);
    }

private:
    static constexpr std::size_t kCopiedStringBytes = 4096;

    std::string_view text_;
    std::size_t read_ = 0;
    std::string scratch_;
};

}  // namespace zdz::json

namespace rapidjson {
// No local copies of the stream inside string and number parsing: the handler
// reads the position from the one stream.
template <>
struct StreamTraits<zdz::json::OffsetStream> {
    enum { copyOptimization = 0 };
};
}  // namespace rapidjson
