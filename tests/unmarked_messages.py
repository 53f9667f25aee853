#!/usr/bin/python3
"""Finds messages in quorvel's sources that a person would read but that are
not marked for translation.

A string literal counts as such a message when it reads as words (two words
with a space between), or when it holds a word and is given to what writes
to a person (Error, PrintText, PrintErrorText). It is marked when it stands in
_(), N_() or P_(). A literal that must stay as it is (read by scripts, a file
name, a system name) carries "// untranslated: why" on its line.

usage: unmarked_messages.py FOLDER...    (exit 1 and a line per message found)
"""
import os
import re
import sys

MARKS = {"_", "N_", "P_"}
WRITERS = {"Error", "PrintText", "PrintErrorText"}
# Words in lower case: operands (ARCHIVE [NAME...]) are written in capitals.
PROSE = re.compile(r"[a-z]{2,}[^\s]*\s+[(\['\"]?[A-Za-z]")
# printf directives and escapes, which are not words.
DIRECTIVE = re.compile(r"%[-+ #0-9.*]*(?:hh|h|ll|l|z|j|t|L)?[a-zA-Z]|\\x[0-9a-fA-F]+|\\.")
WORD = re.compile(r"[A-Za-z]{2,}")
# An option's name (the subject of a message about it) is not translated.
OPTION = re.compile(r"-{1,2}[A-Za-z][\w-]*")


def tokens(text):
    """Identifiers, string literals (with their line), and single characters;
    comments and preprocessor lines are left out."""
    i, line = 0, 1
    while i < len(text):
        c = text[i]
        if c == "\n":
            line += 1
            i += 1
        elif text.startswith("//", i):
            i = text.find("\n", i)
            i = len(text) if i < 0 else i
        elif text.startswith("/*", i):
            end = text.find("*/", i) + 2
            line += text.count("\n", i, end)
            i = end
        elif c == "#" and text[:i].rstrip(" \t").endswith(("\n", "")) and \
                (i == 0 or text[text.rfind("\n", 0, i) + 1:i].strip() == ""):
            while True:  # a preprocessor line, with its continuations
                end = text.find("\n", i)
                end = len(text) if end < 0 else end
                if text[end - 1:end] != "\\":
                    break
                line += 1
                i = end + 1
            i = end
        elif c == '"' or (c == "L" and text[i + 1:i + 2] == '"'):
            start = i + (2 if c == "L" else 1)
            j = start
            while text[j] != '"':
                j += 2 if text[j] == "\\" else 1
            yield ("string", text[start:j], line)
            i = j + 1
        elif c == "'":
            j = i + 1
            while text[j] != "'":
                j += 2 if text[j] == "\\" else 1
            i = j + 1
        elif c.isalpha() or c == "_":
            j = i
            while j < len(text) and (text[j].isalnum() or text[j] == "_"):
                j += 1
            yield ("name", text[i:j], line)
            i = j
        elif c.isspace():
            i += 1
        else:
            yield ("char", c, line)
            i += 1


def unmarked(path):
    text = open(path, encoding="utf-8").read()
    lines = text.split("\n")
    found = []
    calls = []  # for each open parenthesis: the name before it, if any
    previous = None
    literal, literal_line = None, 0
    for kind, value, line in list(tokens(text)) + [("char", ";", 0)]:
        if kind == "string":
            if literal is None:
                literal, literal_line = "", line
            literal += value
            previous = (kind, value)
            continue
        if literal is not None:
            marked = any(name in MARKS for name in calls[-1:])
            writing = any(name in WRITERS for name in calls)
            words = WORD.search(DIRECTIVE.sub(" ", literal))
            exempt = "// untranslated:" in lines[literal_line - 1] or OPTION.fullmatch(literal)
            if not marked and not exempt and (PROSE.search(DIRECTIVE.sub(" ", literal))
                                              or (writing and words)):
                found.append("%s:%d: %r" % (path, literal_line, literal))
            literal = None
        if kind == "char" and value == "(":
            calls.append(previous[1] if previous and previous[0] == "name" else None)
        elif kind == "char" and value == ")" and calls:
            calls.pop()
        previous = (kind, value)
    return found


def self_test():
    """The checker finds what it should on a sample, and nothing more."""
    import tempfile
    sample = r'''#include "not a message here"
static const char *kTable[] = {N_("marked in a table"), "left unmarked in a table"};
int F() {
    Error(path, "unknown");
    Error(path, "%s", _("marked message"));
    Error("--encoding", _("marked: %s"), P_("one entry", "%zu entries", n));
    PrintText(path + ": fixed result\n"); // untranslated: read by scripts
    why = "an unmarked " "reason, in two parts";
    char c = '"'; // a character literal "is no string"
    /* "a comment" */ return Translate("\xe3\x80\x81") != nullptr;
}
'''
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "sample.cpp")
        open(path, "w").write(sample)
        got = [line.split(": ", 1)[1] for line in unmarked(path)]
    want = ["'left unmarked in a table'", "'unknown'", "'an unmarked reason, in two parts'"]
    if got != want:
        print("self-test: found", got, "wanted", want)
        return 1
    return 0


def main(folders):
    found = []
    for folder in folders:
        for root, _, files in os.walk(folder):
            for name in sorted(files):
                if name.endswith((".cpp", ".h")):
                    found += unmarked(os.path.join(root, name))
    for message in found:
        print("not marked for translation:", message)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(self_test() or main(sys.argv[1:]))
