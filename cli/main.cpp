// quorvel's command line: the commands, their options (read with
// getopt_long), and the help text, which is also the source of the manual
// page. On Windows the command line is read as wide characters and turned
// into UTF-8 text, so that any file name can be given.
#include "core/host.h"
#include "core/linebreak.h"
#include "core/output.h"
#include "cli/quorvel.h"
#ifndef _WIN32
#include "mount/mount.h"
#endif
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

struct CommandSpec {
    const char *name;
    int (*run)(const Options &);
    const char *operands;
    const char *summary;
    size_t fewest, most; // operands
    bool usesPlugin;
};

static constexpr size_t kAny = (size_t)-1;

Choice ChoiceOf(const Options &options) {
    Choice choice;
    choice.names.assign(options.operands.begin() + 1, options.operands.end());
    choice.excludes = options.excludes;
    choice.ignoreCase = options.ignoreCase;
    return choice;
}

#ifndef _WIN32
static int MountCommand(const Options &options) {
    MountOptions mount;
    mount.archive = options.operands[0];
    mount.folder = options.operands[1];
    mount.encoding = options.encoding;
    mount.foreground = options.foreground;
    mount.write = options.write;
    mount.discardEdits = options.discardEdits;
    mount.cacheBytes = options.cacheBytes;
    return Mount(mount);
}

static int UnmountCommand(const Options &options) {
    return Unmount(options.operands[0], options.waitSeconds);
}
#endif

static const CommandSpec kCommands[] = {
    {"check", Check, "FILE...", N_("say whether each file is a Quorvel archive"), 1, kAny, true},
    {"list", List, "ARCHIVE [NAME...]", N_("list the entries, all or those named"), 1, kAny, true},
    {"test", Test, "ARCHIVE...",
     N_("check that the listing is the whole archive and every entry lies in the file and can be "
        "read"),
     1, kAny, true},
    {"extract", Extract, "ARCHIVE [NAME...]", N_("extract the entries, all or those named"), 1,
     kAny, true},
    {"cat", Cat, "ARCHIVE NAME...", N_("write the named entries to standard output"), 2, kAny,
     true},
    {"pack", Pack, "-o ARCHIVE [FILE-OR-DIR...]", N_("write a new archive of files and folders"), 0,
     kAny, false},
    {"update", Update, "ARCHIVE [FILE-OR-DIR | NAME]...",
     N_("replace the entries these files (or a patch's entries) match and add the others, or "
        "remove the named entries"),
     1, kAny, true},
    {"diff", Diff, "OLD NEW [NAME...]",
     N_("compare two archives entry by entry: added (A), removed (D) and changed (M) entries "
        "with their sizes; -o writes the added and changed as a patch"),
     2, kAny, true},
#ifndef _WIN32
    {"mount", MountCommand, "ARCHIVE DIR",
     N_("show the archive as a folder at DIR, read-only unless --write"), 2, 2, true},
    {"umount", UnmountCommand, "DIR",
     N_("end the mount at DIR; a writable one's save is waited for"), 1, 1, false},
#endif
};

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

static const OptionSpec kOptions[] = {
    {"encoding", 'O', "CHARSET",
     "list test extract cat pack update diff mount ", // untranslated: commands
     N_("the code page of entry names: auto (the default), UTF-8, CP932 (also SHIFT_JIS), "
        "GBK (CP936), UHC (CP949), BIG5 (CP950) or CP1252")},
    {nullptr, 'l', nullptr, "list ",
     N_("also show sizes, last-write times, positions and a total")},
    {"json", kJson, nullptr, "list diff ", // untranslated: command names
     N_("one JSON object per entry and line")},
    {"ignore-case", 'i', nullptr, "list extract cat diff ", // untranslated: command names
     N_("match NAME patterns without regard to case")},
    {"exclude", kExclude, "PATTERN", "list extract cat diff ", // untranslated: command names
     N_("leave out the entries PATTERN matches; may be given again")},
    {"directory", 'C', "DIR", "extract ", // untranslated: a command name
     N_("extract under DIR (default: the current folder)")},
    {"directory", 'C', "DIR", "pack update ", // untranslated: command names
     N_("read the files relative to DIR, as tar does, and name them so (default: the current "
        "folder)")},
    {"overwrite", kOverwrite, nullptr, "extract ", N_("replace files that exist")},
    {"output", 'o', "ARCHIVE", "pack ", N_("the archive to write")},
    {"output", 'o', "PATCH", "diff ",
     N_("also write NEW's added and changed entries to PATCH, an archive that update --from "
        "applies (removals are not in it: update --remove drops them)")},
    {"from", kFrom, "PATCH", "update ",
     N_("apply PATCH's entries (those NAME chooses, or all): an entry of the same name is "
        "replaced in its place under its stored name, the others are added at the end")},
    {"remove", kRemove, nullptr, "update ",
     N_("remove the entries the NAME operands name (exactly, \\ and / alike) instead of adding "
        "files")},
    {"files-from", 'T', "LIST", "pack ",
     N_("store the files and folders LIST names, one per line, in that order (- for standard "
        "input); \\ and / both separate folders, so the output of list works as LIST")},
    {"separator", kSeparator, "SEP", "pack ",
     N_("store SEP between folders: \\ (the default, as the Windows programs that read "
        "these archives expect) or /")},
    {"drop-unowned-bytes", kDropUnowned, nullptr, "update ",
     N_("write the archive anew although some of its bytes after the directory belong to no "
        "entry, or some directory lines are no entry lines, and leave those out; without it "
        "such an archive is refused")},
#ifndef _WIN32
    {"foreground", 'f', nullptr, "mount ", N_("stay in the foreground until the mount ends")},
    {"cache-size", kCacheSize, "SIZE", "mount ",
     N_("keep the bytes of closed files up to SIZE (K, M, G; default 8M)")},
    {"write", kWrite, nullptr, "mount ",
     N_("let files and folders be made, changed, renamed and deleted; every change is kept "
        "on disk at once in .ARCHIVE.quorvel-edits beside the archive, and the archive is "
        "written anew when the mount ends (umount, fusermount3 -u, or Ctrl-C with -f). A save "
        "that fails keeps the edits and says why, and the next mount --write resumes them, as "
        "it does after a crash, unless the archive was changed meanwhile")},
    {"discard-edits", kDiscardEdits, nullptr, "mount ",
     N_("with --write, drop the unsaved edits an earlier mount left, and start afresh")},
    {"wait", kWait, "SECONDS", "umount ",
     N_("wait up to SECONDS (default 5) for programs to let go of a busy mount, and for a "
        "mount's process that does nothing (stopped or hung) to go on with its save")},
#endif
    {"help", 'h', nullptr, "", N_("show this help and exit")},
};

static const char kIntroduction[] =
    N_("Looks inside Quorvel archives (*.dat), extracts them and writes new ones. Every\n"
       "listing and every entry's bytes come through the axquorvel plug-in.\n");

static const char kDetails[] =
    N_("NAME operands are shell patterns: * matches any run of characters (also /), ?\n"
       "one character and [...] one of a set. They are matched against the decoded\n"
       "names; a NAME without * ? [ is an exact name. A NAME that matches nothing is an\n"
       "error.\n"
       "\n"
       "Entry names are bytes in the code page of the system that made the archive.\n"
       "With --encoding auto, names that are all valid UTF-8 are read as UTF-8. Others\n"
       "are read in the system's ANSI code page on a Windows whose code page is CP932,\n"
       "GBK, UHC, BIG5 or CP1252, so that what pack wrote there reads back under its\n"
       "own names (on CP1252, names that all read as CP932, some double-byte, are read\n"
       "as CP932), and as CP932 elsewhere (on Linux too): the code page of most\n"
       "archives made on Japanese Windows. pack stores names as the system writes them\n"
       "(UTF-8 on Linux, the ANSI code page on Windows) unless --encoding says\n"
       "otherwise.\n"
       "\n"
       "Exit status:\n"
       "  0   success\n"
       "  1   partly done: a file that is not an archive (check), a damaged entry or\n"
       "      directory (test), an entry that could not be extracted, or a NAME that\n"
       "      matched nothing\n"
       "  2   wrong command line\n"
       "  3   the archive, an input or an output file could not be used\n"
       "  4   the plug-in could not be loaded or lacks an export\n");

static bool Takes(const OptionSpec &option, const char *command) {
    std::string listed = std::string(" ") + option.commands;
    return option.key == 'h' || listed.find(std::string(" ") + command + " ") != std::string::npos;
}

// Lines of help: text after a heading, wrapped at 79 columns (continued at
// `indent`), at spaces and where Japanese text may break: a console that
// wraps at its 80th column would add an empty line after a full one.
static std::string HelpLines(const std::string &heading, const std::string &text,
                             size_t indent = 28) {
    constexpr size_t kWidth = 79;
    size_t column = Columns(heading);
    std::string lines = heading;
    // Two spaces at least between a heading and its text, as help2man reads
    // them; a longer heading has its text on the next line.
    if (!heading.empty() && column + 2 <= indent) {
        lines += std::string(indent - column, ' ');
        column = indent;
    } else if (!heading.empty()) {
        lines += "\n" + std::string(indent, ' ');
        column = indent;
    }
    // The text in pieces that may each start a line: words, and the phrases
    // of Japanese text (linebreak.h).
    struct Piece {
        std::string text;
        bool spaceBefore;
    };
    std::vector<Piece> pieces;
    std::vector<std::string> characters = CharactersOf(text);
    std::vector<bool> starts = LineStarts(characters);
    bool space = false;
    for (size_t i = 0; i < characters.size(); i++) {
        if (characters[i] == " ") {
            space = !pieces.empty();
            continue;
        }
        if (pieces.empty() || starts[i])
            pieces.push_back({characters[i], space});
        else
            pieces.back().text += (space ? " " : "") + characters[i];
        space = false;
    }
    for (const Piece &piece : pieces) {
        size_t width = Columns(piece.text);
        if (column + (piece.spaceBefore ? 1 : 0) + width > kWidth && column > indent) {
            lines += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (piece.spaceBefore && column > indent) {
            lines += ' ';
            column++;
        }
        lines += piece.text;
        column += width;
    }
    return lines + "\n";
}

// Text the catalog gives with line ends of its own (the introduction, the
// closing notes), filled as the rest of the help, whatever width it was
// wrapped to: a paragraph's lines run together, a row ("  1   partly done")
// keeps its tag and the column its text starts at, and a line that ends in
// ':' before a row is a heading.
static std::string Filled(const std::string &text) {
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::string filled, heading, paragraph;
    size_t indent = 0;
    auto flush = [&]() {
        if (!heading.empty() || !paragraph.empty())
            filled += HelpLines(heading, paragraph, indent);
        heading.clear();
        paragraph.clear();
        indent = 0;
    };
    for (size_t i = 0; i < lines.size(); i++) {
        const std::string &line = lines[i];
        size_t margin = line.find_first_not_of(' ');
        bool rowFollows = i + 1 < lines.size() && lines[i + 1].compare(0, 2, "  ") == 0;
        if (margin == std::string::npos) {
            flush();
            filled += "\n";
        } else if (margin == 0 && line.back() == ':' && rowFollows) {
            flush();
            filled += line + "\n";
        } else if (margin > 0 && (heading.empty() || margin < indent)) {
            flush();
            size_t gap = line.find("  ", margin);
            indent = gap == std::string::npos ? line.size() : line.find_first_not_of(' ', gap);
            heading = line.substr(0, std::min(gap, line.size()));
            paragraph = indent < line.size() ? line.substr(indent) : "";
        } else {
            if (margin == 0 && !heading.empty())
                flush();
            std::string start = line.substr(margin);
            if (!paragraph.empty() &&
                !JoinsWithoutSpace(CharactersOf(paragraph).back(), CharactersOf(start)[0]))
                paragraph += " ";
            paragraph += start;
        }
    }
    flush();
    return filled;
}

static std::string OptionLine(const OptionSpec &option, bool withCommands) {
    std::string heading = option.key < 256 ? std::string("  -") + (char)option.key : "     ";
    if (option.longName != nullptr)
        heading += std::string(option.key < 256 ? ", --" : " --") + option.longName;
    if (option.argument != nullptr)
        heading += (option.longName != nullptr ? "=" : " ") + std::string(option.argument);
    // The commands that take it, of those this build has (no mount on Windows).
    std::string text = _(option.help), commands;
    for (const CommandSpec &command : kCommands) {
        if (option.key != 'h' && Takes(option, command.name))
            commands += (commands.empty() ? "" : " ") + std::string(command.name);
    }
    if (withCommands && !commands.empty())
        text += " [" + commands + "]";
    return HelpLines(heading, text);
}

static std::string GeneralUsage() {
    return _("Usage: quorvel [--plugin PATH] COMMAND [OPTION]... [ARGUMENT]...\n");
}

static std::string CommandUsage(const CommandSpec &command) {
    return Format(_("Usage: quorvel %s [OPTION]... %s\n"), command.name, command.operands);
}

static std::string CommandHelp(const CommandSpec &command) {
    std::string help = CommandUsage(command) +
                       HelpLines("", Format(_("Quorvel archives: %s."), _(command.summary)), 0);
    help += "\n";
    help += _("Options:\n");
    for (const OptionSpec &option : kOptions) {
        if (Takes(option, command.name))
            help += OptionLine(option, false);
    }
    return help;
}

static std::string Help() {
    std::string help = GeneralUsage();
    help += Filled(_(kIntroduction));
    help += "\n";
    help += _("Commands:\n");
    for (const CommandSpec &command : kCommands)
        help += HelpLines(std::string("  ") + command.name + " " + command.operands,
                          _(command.summary));
    help += "\n";
    help += _("Options (the commands that take one are in brackets):\n");
    for (const OptionSpec &option : kOptions)
        help += OptionLine(option, true);
    help += HelpLines("      --plugin=PATH", _("load the plug-in module from PATH (Windows)"));
    help += HelpLines("      --version", _("show the versions of quorvel and its plug-in")) + "\n";
    return help + Filled(_(kDetails));
}

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
