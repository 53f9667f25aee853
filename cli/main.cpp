// quorvel's command line: a command and its options, read with
// getopt_long against the tables of commands.cpp. On Windows the command line is read as wide
// characters and turned into UTF-8 text, so that any file name can be given.
#include "core/host.h"
#include "core/output.h"
#include "cli/commands.h"
#include "cli/quorvel.h"
#include "core/translate.h"

#include "plugin/version.h"

#include <algorithm>
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>
// "256M", "64k", "1G" or a number of bytes.
static bool ParseSize(const char *text, uint64_t *bytes) {
    char *end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 10);
    if (end == text || errno != 0 || text[0] == '-')
        return false;
    int shift = 0;
    switch (*end) {
    case 'k':
    case 'K':
        shift = 10;
        break;
    case 'm':
    case 'M':
        shift = 20;
        break;
    case 'g':
    case 'G':
        shift = 30;
        break;
    case '\0':
        break;
    default:
        return false;
    }
    if (*end != '\0' && end[1] != '\0')
        return false;
    if (value > (UINT64_MAX >> shift))
        return false;
    *bytes = (uint64_t)value << shift;
    return true;
}

// An option getopt_long refused (it prints nothing: opterr is 0): the
// option as given, and why, in the user's language.
static void OptionError(int key, char **argv) {
    const char *given = argv[optind - 1];
    std::string option = key == ':' && strncmp(given, "--", 2) != 0
                             ? std::string("-") + (char)optopt
                             : std::string(given).substr(0, std::string(given).find('='));
    if (key == ':')
        Error(option, "%s", _("needs an argument"));
    else if (optopt != 0 && strncmp(given, "--", 2) != 0)
        Error(std::string("-") + (char)optopt, "%s", _("unknown option"));
    else
        Error(option, "%s", _("unknown option"));
}

static int UsageError(const std::string &usage) {
    PrintErrorText(usage + _("Try 'quorvel --help' for more information.\n"));
    return kExitUsage;
}

// LoadPlugin, the failure printed: kExitOk or kExitPlugin.
static int LoadPluginOrReport(const char *plugin) {
    Failure failure;
    if (LoadPlugin(plugin, &failure))
        return kExitOk;
    PrintFailure(failure);
    return kExitPlugin;
}

static int Version(const char *plugin) {
    PrintText(Format("quorvel %s\n", AXQ_VERSION_TEXT)); // untranslated: help2man reads it
    int status = LoadPluginOrReport(plugin);
    std::string row;
    for (int32_t i = 0; status == kExitOk && PluginRow(i, &row); i++)
        PrintText(Format(_("plug-in row %d: %s\n"), (int)i, row.c_str()));
    return status;
}

// Reads one command's options and operands; returns an exit status other
// than kExitOk to stop there.
static int ReadOptions(const CommandSpec &command, int argc, char **argv, Options *options) {
    std::string shorts = ":"; // a missing argument is told from an unknown option
    std::vector<option> longs;
    for (const OptionSpec &option : kOptions) {
        if (!Takes(option, command.name))
            continue;
        if (option.key < 256)
            shorts += std::string(1, (char)option.key) + (option.argument != nullptr ? ":" : "");
        if (option.longName != nullptr)
            longs.push_back({option.longName,
                             option.argument != nullptr ? required_argument : no_argument, nullptr,
                             option.key});
    }
    longs.push_back({nullptr, 0, nullptr, 0});
    optind = 0;
    opterr = 0;
    int key;
    bool directoryGiven = false;
    while ((key = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr)) != -1) {
        switch (key) {
        case 'O':
            if (!ParseEncoding(optarg, &options->encoding)) {
                Error("--encoding", _("unknown encoding '%s'; accepted: %s"), optarg,
                      AcceptedEncodings().c_str());
                return kExitUsage;
            }
            break;
        case 'l':
            options->details = true;
            break;
        case kJson:
            options->json = true;
            break;
        case 'i':
            options->ignoreCase = true;
            break;
        case kExclude:
            options->excludes.push_back(optarg);
            break;
        case 'C':
            // tar reads the files after each -C from its folder; one folder
            // for every file is all quorvel does, so a second is refused.
            if (directoryGiven) {
                Error("-C", "%s", _("may be given once: its folder holds every file given"));
                return kExitUsage;
            }
            directoryGiven = true;
            options->directory = optarg;
            break;
        case kOverwrite:
            options->overwrite = true;
            break;
        case 'o':
            options->output = optarg;
            break;
        case 'T':
            // One list: a second would silently take the first's place.
            if (!options->listFile.empty()) {
                Error("-T", "%s", _("may be given once: one list names every file"));
                return kExitUsage;
            }
            options->listFile = optarg;
            break;
        case kSeparator:
            if (strcmp(optarg, "/") != 0 && strcmp(optarg, "\\") != 0) {
                Error("--separator", _("'%s' is neither / nor \\"), optarg);
                return kExitUsage;
            }
            options->separator = optarg[0];
            break;
        case 'f':
            options->foreground = true;
            break;
        case kWrite:
            options->write = true;
            break;
        case kDiscardEdits:
            options->discardEdits = true;
            break;
        case kDropUnowned:
            options->dropUnowned = true;
            break;
        case kFrom:
            options->from = optarg;
            break;
        case kRemove:
            options->remove = true;
            break;
        case kCacheSize:
            if (!ParseSize(optarg, &options->cacheBytes)) {
                Error("--cache-size", _("not a size: '%s' (a number, and K, M or G)"), optarg);
                return kExitUsage;
            }
            break;
        case kWait: {
            char *end = nullptr;
            long seconds = strtol(optarg, &end, 10);
            if (end == optarg || *end != '\0' || seconds < 0 || seconds > 86400) {
                Error("--wait", _("not a number of seconds: '%s'"), optarg);
                return kExitUsage;
            }
            options->waitSeconds = (int)seconds;
            break;
        }
        case 'h':
            PrintText(CommandHelp(command));
            return -1;
        default:
            OptionError(key, argv);
            return UsageError(CommandUsage(command));
        }
    }
    options->operands.assign(argv + optind, argv + argc);
    size_t n = options->operands.size();
    // Why the command line is wrong, before its usage.
    const char *why = nullptr;
    if (command.run == Pack && options->output.empty())
        why = N_("-o ARCHIVE is needed: it names the archive to write");
    else if (command.run == Pack && n == 0 && options->listFile.empty())
        why = N_("no files or folders to pack (give them, or -T LIST)");
    else if (options->details && options->json)
        why = N_("-l and --json cannot be given together");
    else if (!options->from.empty() && options->remove)
        why = N_("--from and --remove cannot be given together");
    else if (command.run == Update && n < 2 && options->from.empty())
        why = options->remove ? N_("no entries to remove") : N_("no files or folders to add");
    else if (n < command.fewest)
        why = N_("too few operands");
    else if (n > command.most)
        why = N_("too many operands");
    if (why != nullptr) {
        Error(command.name, "%s", _(why));
        return UsageError(CommandUsage(command));
    }
    return kExitOk;
}

static int Main(int argc, char **argv) {
    StartTranslation();
    const option globals[] = {{"plugin", required_argument, nullptr, kPlugin},
                              {"help", no_argument, nullptr, 'h'},
                              {"version", no_argument, nullptr, kVersion},
                              {nullptr, 0, nullptr, 0}};
    const char *plugin = nullptr;
    int key;
    // "+": the first operand is the command, and its options are its own.
    opterr = 0;
    while ((key = getopt_long(argc, argv, "+:h", globals, nullptr)) != -1) {
        if (key == kPlugin) {
            plugin = optarg;
        } else if (key == 'h') {
            PrintText(Help());
            return kExitOk;
        } else if (key == kVersion) {
            return Version(plugin);
        } else {
            OptionError(key, argv);
            return UsageError(GeneralUsage());
        }
    }
    if (optind >= argc)
        return UsageError(GeneralUsage());
    // quorvel help [COMMAND]: the help, or one command's.
    if (strcmp(argv[optind], "help") == 0) {
        const char *asked = optind + 1 < argc ? argv[optind + 1] : nullptr;
        for (const CommandSpec &known : kCommands) {
            if (asked != nullptr && strcmp(asked, known.name) == 0) {
                PrintText(CommandHelp(known));
                return kExitOk;
            }
        }
        if (asked == nullptr) {
            PrintText(Help());
            return kExitOk;
        }
        Error(asked, "%s", _("unknown command"));
        return UsageError(GeneralUsage());
    }
    const CommandSpec *command = nullptr;
    for (const CommandSpec &known : kCommands) {
        if (strcmp(argv[optind], known.name) == 0)
            command = &known;
    }
    if (command == nullptr) {
        Error(argv[optind], "%s", _("unknown command"));
        return UsageError(GeneralUsage());
    }
    // The command's own argument list, named for getopt's messages.
    std::string name = std::string("quorvel ") + command->name;
    std::vector<char *> args = {&name[0]};
    args.insert(args.end(), argv + optind + 1, argv + argc);
    args.push_back(nullptr);
    Options options;
    int status = ReadOptions(*command, (int)args.size() - 1, args.data(), &options);
    if (status != kExitOk)
        return status < 0 ? kExitOk : status;
    if (command->usesPlugin && (status = LoadPluginOrReport(plugin)) != kExitOk)
        return status;
    return command->run(options);
}

#ifdef _WIN32
#include <windows.h>

int wmain(int argc, wchar_t **argv) {
    std::vector<std::string> text;
    for (int i = 0; i < argc; i++)
        text.push_back(Narrow(argv[i]));
    std::vector<char *> args;
    for (std::string &arg : text)
        args.push_back(&arg[0]);
    args.push_back(nullptr);
    return Main(argc, args.data());
}
#else
int main(int argc, char **argv) { return Main(argc, argv); }
#endif
