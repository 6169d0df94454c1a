// The korvadin program's commands. Each takes its own arguments (after the command name) and
// returns the process exit code: 0 success, 1 failure, 2 bad usage.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace cli {

struct Context {
    std::filesystem::path pluginPath;
    std::vector<std::string> args;
};

int runCodecs(const Context& context);
int runRender(const Context& context);
int runDecode(const Context& context);
int runProbe(const Context& context);
int runRepair(const Context& context);

// Thrown for a command line that cannot be understood; the message says what is wrong.
struct UsageError {
    std::string message;
};

// Walks a command's arguments: options with values and positional arguments.
class ArgReader {
public:
    explicit ArgReader(const std::vector<std::string>& args) : m_args(args) {}
    bool done() const { return m_next >= m_args.size(); }
    const std::string& next() { return m_args[m_next++]; }
    // The value of the option just read.
    const std::string& value(const std::string& option);

private:
    const std::vector<std::string>& m_args;
    size_t m_next = 0;
};

uint64_t parseCount(const std::string& option, const std::string& text);

// The one input and the -o output of a command that reads a file and writes one; `option` takes
// the command's other options (reading their values from the reader), false for unknown ones.
struct InputOutput {
    std::string input, output;
};
InputOutput readInputOutput(const std::vector<std::string>& args,
                            const std::function<bool(const std::string&, ArgReader&)>& option);

} // namespace cli
