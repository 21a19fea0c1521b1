// Finds where a request frame ends in bytes that arrive piece by piece, so a
// server can wait for a whole frame before it loads it, without re-reading
// what it has already looked at and without trusting the peer: a frame longer
// than the server's limit, a parameter count above Request::max_params or a
// tag out of place ends the scan as malformed.
//
// Frames accepted: v:Request: or v:NotifyRequest:, then the id (i or I tag,
// width 2, 4 or 8), the name (s tag), the parameter count (as the id) and
// twice that many texts. Texts may be terminated (s::...\0) or counted
// (s:<n>: and n bytes). Writers of this library produce exactly this; a
// frame the scanner accepts is then loaded with Stream::load.
#pragma once

#include "../../config.h"
#include "../Request.h"

#include <cstdint>
#include <cstring>

namespace zem {
namespace vfs {
namespace detail {

class FrameScanner {
public:
    enum Result { need_more, complete, malformed };

    explicit FrameScanner(uint64 max_frame) : max_frame_(max_frame) { reset(); }

    // Starts over for the next frame.
    void reset() {
        pos_ = 0;
        step_ = head;
        token_start_ = 0;
        name_len_ = 0;
        field_ = 0;
        field_digits_ = 0;
        left_ = 0;
        tokens_ = 0;
        texts_left_ = 0;
        value_ = 0;
    }

    // `data` holds the frame's bytes from its first byte on, `size` of them
    // so far (a prefix of what the previous call saw, extended). Bytes past
    // the frame's end are not looked at.
    Result scan(char const *data, uint64 size) {
        while (pos_ < size) {
            if (pos_ >= max_frame_)
                return malformed;
            unsigned char c = static_cast<unsigned char>(data[pos_]);
            switch (step_) {
            case head:
                // "v:" then the type name up to a colon.
                if (pos_ == 0 && c != 'v')
                    return malformed;
                if (pos_ == 1 && c != ':')
                    return malformed;
                ++pos_;
                if (pos_ == 2)
                    step_ = type_name;
                break;
            case type_name:
                ++pos_;
                if (c == ':') {
                    if (!known_type())
                        return malformed;
                    tokens_ = 0;
                    next_token();
                } else {
                    if (name_len_ >= sizeof name_)
                        return malformed;
                    name_[name_len_++] = char(c);
                }
                break;
            case tag:
                // The tag letter and its colon.
                if (pos_ == token_start_) {
                    if (expect_integer() ? (c != 'i' && c != 'I') : c != 's')
                        return malformed;
                    ++pos_;
                } else {
                    if (c != ':')
                        return malformed;
                    ++pos_;
                    field_ = 0;
                    field_digits_ = 0;
                    step_ = expect_integer() ? width : text_field;
                }
                break;
            case width:
                // One digit, 2, 4 or 8, and a colon.
                ++pos_;
                if (field_digits_ == 0) {
                    if (c != '2' && c != '4' && c != '8')
                        return malformed;
                    field_ = c - '0';
                    field_digits_ = 1;
                } else {
                    if (c != ':')
                        return malformed;
                    left_ = field_;
                    value_ = 0;
                    step_ = integer;
                }
                break;
            case integer:
                value_ |= std::uint64_t(c) << (8 * (field_ - left_));
                ++pos_;
                if (--left_ == 0) {
                    if (tokens_ == 2 && !take_count())
                        return malformed;
                    if (next_token())
                        return complete;
                }
                break;
            case text_field:
                // ":" right away: terminated text; otherwise a decimal count
                // and a colon.
                ++pos_;
                if (c == ':') {
                    if (field_digits_ == 0) {
                        step_ = terminated;
                    } else if (field_ == 0) {
                        if (next_token())
                            return complete;
                    } else {
                        left_ = field_;
                        step_ = counted;
                    }
                } else if (c >= '0' && c <= '9' && field_digits_ < 9) {
                    field_ = field_ * 10 + (c - '0');
                    ++field_digits_;
                } else {
                    return malformed;
                }
                break;
            case terminated: {
                uint64 end = size < max_frame_ ? size : max_frame_;
                void const *zero = std::memchr(data + pos_, 0, std::size_t(end - pos_));
                if (zero == nullptr) {
                    pos_ = end;
                    break;
                }
                pos_ = uint64(static_cast<char const *>(zero) - data) + 1;
                if (next_token())
                    return complete;
                break;
            }
            case counted: {
                uint64 take = size - pos_ < left_ ? size - pos_ : left_;
                pos_ += take;
                left_ -= take;
                if (left_ == 0 && next_token())
                    return complete;
                break;
            }
            case finished:
                return complete;
            }
        }
        if (step_ == finished)
            return complete;
        return pos_ >= max_frame_ ? malformed : need_more;
    }

    // The frame's length once scan() said complete.
    uint64 frame_size() const { return pos_; }

private:
    enum Step { head, type_name, tag, width, integer, text_field, terminated, counted, finished };

    bool known_type() const {
        return (name_len_ == 7 && std::memcmp(name_, "Request", 7) == 0) ||
               (name_len_ == 13 && std::memcmp(name_, "NotifyRequest", 13) == 0);
    }

    // Tokens after the head: 0 id, 1 name, 2 count, then the texts.
    bool expect_integer() const { return tokens_ == 0 || tokens_ == 2; }

    // The count as Request::load reads it: signed at its own width, refused
    // when negative or above Request::max_params, before it is narrowed.
    bool take_count() {
        std::int64_t count;
        if (field_ == 2)
            count = std::int16_t(std::uint16_t(value_));
        else if (field_ == 4)
            count = std::int32_t(std::uint32_t(value_));
        else
            count = std::int64_t(value_);
        if (count < 0 || count > Request::max_params)
            return false;
        texts_left_ = 2 * std::uint32_t(count);
        return true;
    }

    // Moves past a finished token; true when the frame is complete.
    bool next_token() {
        if (step_ != type_name) {
            ++tokens_;
            if (tokens_ > 3)
                --texts_left_;
        }
        if (tokens_ >= 3 && texts_left_ == 0) {
            step_ = finished;
            return true;
        }
        step_ = tag;
        token_start_ = pos_;
        return false;
    }

    uint64 max_frame_;
    uint64 pos_;
    Step step_;
    uint64 token_start_;
    char name_[16];
    std::size_t name_len_;
    uint64 field_;
    int field_digits_;
    uint64 left_;
    std::uint32_t tokens_;
    std::uint32_t texts_left_;
    std::uint64_t value_;
};

} // namespace detail
} // namespace vfs
} // namespace zem
