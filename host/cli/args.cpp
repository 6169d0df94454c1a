#include "commands.h"

#include <charconv>

namespace cli {

const std::string& ArgReader::value(const std::string& option) {
    if (done()) {
        throw UsageError{option + " needs a value"};
    }
    return next();
}

uint64_t parseCount(const std::string& option, const std::string& text) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        throw UsageError{option + " takes a whole number, not '" + text + "'"};
    }
    return value;
}

} // namespace cli
