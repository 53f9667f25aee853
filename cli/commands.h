// quorvel's commands and options as tables, and the help made from them.
#ifndef AXQ_CLI_COMMANDS_H
#define AXQ_CLI_COMMANDS_H

#include "cli/quorvel.h"

#include <stddef.h>
#include <string>
#include <vector>

struct CommandSpec {
    const char *name;
    int (*run)(const Options &);
    const char *operands;
    const char *summary;
    size_t fewest, most; // operands
    bool usesPlugin;
};

// A command's `most` when it takes any number of operands.
constexpr size_t kAny = (size_t)-1;

// Options that have no short form get a key from here on.
enum {
    kJson = 256,
    kExclude,
    kOverwrite,
    kCacheSize,
    kPlugin,
    kVersion,
    kSeparator,
    kWrite,
    kDiscardEdits,
    kDropUnowned,
    kWait,
    kFrom,
    kRemove
};

struct OptionSpec {
    const char *longName; // null if there is only the short one
    int key;              // the short option's letter, or a key of its own
    const char *argument; // its argument's name, null if it takes none
    const char *commands; // the commands that take it, each followed by a space
    const char *help;
};

// The commands this build has (no mount on Windows) and every option.
extern const std::vector<CommandSpec> kCommands;
extern const std::vector<OptionSpec> kOptions;

// Whether `command` takes the option (--help: every command).
bool Takes(const OptionSpec &option, const char *command);

// The help texts, in the user's language, laid out for an 80-column console.
std::string GeneralUsage();
std::string CommandUsage(const CommandSpec &command);
std::string CommandHelp(const CommandSpec &command);
std::string Help();

#endif
