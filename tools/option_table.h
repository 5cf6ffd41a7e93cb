// The value-taking options of the developer tools (rugon-gen-sem, rugon-validate): one table of
// names, each with what it sets, answers "unknown", "needs a value" and "bad value" alike.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

// Sets what its option sets from the option's value; false for a bad value.
using OptionSetter = std::function<bool(const char*)>;

struct ValuedOption {
    const char* name;  // "--name"
    OptionSetter set;
};

// A setter that keeps the value as it is (a path or a name).
inline OptionSetter setText(std::string& target) {
    return [&target](const char* value) {
        target = value;
        return true;
    };
}

// Takes argv[i] as one of the `count` options and its value from argv[i + 1], moving i past
// it. Returns 0 when the option was set; otherwise prints why on stderr after "`tool`: "
// ("unknown option X (see --help)", "X needs a value (see --help)", "bad value "V" for X") and
// returns 2, the tool's exit status for bad usage.
inline int takeValuedOption(
    const char* tool, const ValuedOption* options, size_t count, int argc, char** argv, int& i) {
    const char* option = argv[i];
    const OptionSetter* set = nullptr;
    for (size_t k = 0; k < count; ++k)
        if (std::strcmp(option, options[k].name) == 0) set = &options[k].set;
    if (set == nullptr) {
        std::fprintf(stderr, "%s: unknown option %s (see --help)\n", tool, option);
        return 2;
    }
    if (i + 1 >= argc) {
        std::fprintf(stderr, "%s: %s needs a value (see --help)\n", tool, option);
        return 2;
    }
    const char* value = argv[++i];
    if (!(*set)(value)) {
        std::fprintf(stderr, "%s: bad value \"%s\" for %s\n", tool, value, option);
        return 2;
    }
    return 0;
}
