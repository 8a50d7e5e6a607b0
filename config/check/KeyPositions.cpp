// Where things stand in the text: line and column of an offset, and the place of each key.
#include "config/check/KeyPositions.h"

#include <algorithm>
#include <iterator>

#include <tarvik/config/ConfigKeys.h>
#include "config/check/TerminalText.h"

namespace tarvik::driver::check {
namespace {

// Line and column (1-based; columns in characters) of bytes of the text, asked for in
// ascending order of offset, so that a whole check reads the text once. A line ends at LF, at
// CR LF (one line end) and at a CR alone, as editors count them.
class PositionFinder {
public:
    explicit PositionFinder(std::string_view text) : text_(text) {
        if (text_.substr(0, 3) == "\xEF\xBB\xBF") {
            at_ = 3;  // a byte-order mark is no character of the line
        }
    }

    Position at(std::size_t offset) {
        offset = std::min(offset, text_.size());
        for (; at_ < offset; ++at_) {
            const char byte = text_[at_];
            if (byte == '\n' ||
                (byte == '\r' && (at_ + 1 == text_.size() || text_[at_ + 1] != '\n'))) {
                ++position_.line;
                position_.column = 1;
            } else if (byte != '\r' && !isContinuationByte(byte)) {
                ++position_.column;  // the CR of a CR LF takes no column
            }
        }
        return position_;
    }

private:
    std::string_view text_;
    std::size_t at_ = 0;
    Position position_{1, 1};
};

// A character iterator over the text that tells how far the parser has read.
class TrackingIterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    TrackingIterator(const char* at, const char** reached) : at_(at), reached_(reached) {}
    reference operator*() const { return *at_; }
    TrackingIterator& operator++() {
        *reached_ = ++at_;
        return *this;
    }
    bool operator==(const TrackingIterator& other) const { return at_ == other.at_; }
    bool operator!=(const TrackingIterator& other) const { return at_ != other.at_; }

private:
    const char* at_;
    const char** reached_;
};

}  // namespace

std::map<std::size_t, Position> placesOf(std::string_view text,
                                         const std::set<std::size_t>& offsets) {
    std::map<std::size_t, Position> places;
    PositionFinder finder(text);
    for (const std::size_t offset : offsets) {
        places.emplace(offset, finder.at(offset));
    }
    return places;
}

void Locator::run() {
    reached_ = text_.data();
    const TrackingIterator first(text_.data(), &reached_);
    const TrackingIterator last(text_.data() + text_.size(), &reached_);
    json::sax_parse(first, last, this, json::input_format_t::json, /*strict=*/true,
                    /*ignore_comments=*/false);
}

std::vector<Repeat> Locator::repeats() const {
    std::vector<Repeat> result;
    const auto collect = [&result](const std::string& section, const Occurrences& names) {
        for (const auto& [name, offsets] : names) {
            if (offsets.size() > 1) {
                result.push_back({{section, name}, offsets});
            }
        }
    };
    collect("", topNames_);
    for (const auto& [section, names] : sectionNames_) {
        collect(section, names);
    }
    return result;
}

bool Locator::start_object(std::size_t) {
    ++depth_;
    if (depth_ == 2 && findRepeats_ && isConfigSection(topKey_)) {
        inSection_ = true;
    }
    return true;
}

bool Locator::end_object() {
    if (depth_ == 2) {
        inSection_ = false;
    }
    --depth_;
    return true;
}

bool Locator::key(json::string_t& name) {
    if (depth_ == 1) {
        topKey_ = name;
        if (findRepeats_) {
            topNames_[name].push_back(record({"", name}, true));
            if (isConfigSection(name)) {
                sectionNames_.erase(name);  // a later value of the section replaces it
            }
        } else {
            record({"", name}, false);
        }
    } else if (depth_ == 2 && (!wanted_.empty() || inSection_)) {
        const std::size_t offset = record({topKey_, name}, inSection_);
        if (inSection_) {
            sectionNames_[topKey_][name].push_back(offset);
        }
    }
    return true;
}

std::size_t Locator::record(const KeyPath& path, bool always) {
    const bool wanted = wanted_.count(path) != 0;
    if (!wanted && !always) {
        return 0;
    }
    // The parser has just read the closing quote: walk back to the opening quote, the first
    // quote not escaped by an odd number of backslashes.
    const std::size_t end = static_cast<std::size_t>(reached_ - text_.data());
    std::size_t at = end >= 2 ? end - 2 : 0;
    while (at > 0) {
        if (text_[at] == '"') {
            std::size_t backslashes = 0;
            while (backslashes < at && text_[at - 1 - backslashes] == '\\') {
                ++backslashes;
            }
            if (backslashes % 2 == 0) {
                break;
            }
        }
        --at;
    }
    if (wanted) {
        places_[path] = at;  // a repeated key: the last one counts, as in the document
    }
    return at;
}

}  // namespace tarvik::driver::check
