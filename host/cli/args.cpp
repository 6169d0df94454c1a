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

InputOutput readInputOutput(const std::vector<std::string>& args,
                            const std::function<bool(const std::string&, ArgReader&)>& option) {
    InputOutput files;
    ArgReader reader(args);
    while (!reader.done()) {
        const std::string& arg = reader.next();
        if (arg == "-o" || arg == "--output") {
            files.output = reader.value(arg);
        } else if (option(arg, reader)) {
            continue;
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw UsageError{"unknown option " + arg};
        } else if (!files.input.empty()) {
            throw UsageError{"one input only (got '" + files.input + "' and '" + arg + "')"};
        } else {
            files.input = arg;
        }
    }
    return files;
}

} // namespace cli
