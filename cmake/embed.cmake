# Writes a file's bytes as a C++ array, so that a program carries the file
# inside it. usage: cmake -DINPUT=FILE -DOUTPUT=SOURCE -DNAME=SYMBOL -P embed.cmake
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "(..)" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp "// Made by cmake/embed.cmake at build time.\n"
  "#include <stddef.h>\n"
  "extern const unsigned char ${NAME}[];\nextern const size_t ${NAME}Size;\n"
  "const unsigned char ${NAME}[] = {\n${bytes}};\n"
  "const size_t ${NAME}Size = ${size};\n")
# Unchanged bytes keep their time stamp, so nothing is compiled again.
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
