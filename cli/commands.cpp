// quorvel's commands, their options and the help text, which is also the
// source of the manual page.
#include "cli/commands.h"

#include "core/linebreak.h"
#include "core/output.h"
#include "core/translate.h"
#ifndef _WIN32
#include "mount/mount.h"
#endif

#include <string.h>
#include <string>

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

const std::vector<CommandSpec> kCommands = {
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

const std::vector<OptionSpec> kOptions = {
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

bool Takes(const OptionSpec &option, const char *command) {
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

std::string GeneralUsage() {
    return _("Usage: quorvel [--plugin PATH] COMMAND [OPTION]... [ARGUMENT]...\n");
}

std::string CommandUsage(const CommandSpec &command) {
    return Format(_("Usage: quorvel %s [OPTION]... %s\n"), command.name, command.operands);
}

std::string CommandHelp(const CommandSpec &command) {
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

std::string Help() {
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
