// A sequence of line-buffer operations, with their arguments, read from the
// input: loading, reading, editing and the snapshot slot. Nothing may read or
// write outside a block, and clearing must release every block.
#include "linebuf/linebuf.h"
#include "platform/platform.h"

#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

struct Input {
    const uint8_t *data;
    size_t size;
    uint8_t Byte() {
        if (size == 0)
            return 0;
        size--;
        return *data++;
    }
    int32_t Number() {
        // Mostly small, sometimes anything: both matter.
        uint8_t kind = Byte();
        if (kind % 8 == 0) {
            int32_t value = 0;
            for (int i = 0; i < 4; i++)
                value = (int32_t)((uint32_t)value << 8 | Byte());
            return value;
        }
        return (int32_t)(kind % 16) - 3;
    }
    std::string Text() {
        size_t length = Byte() % 48;
        std::string text;
        while (text.size() < length && size > 0) {
            char c = (char)Byte();
            text += c == '\0' ? '\n' : c;
        }
        return text;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in{data, size};
    int32_t blocks = PlatformLiveBlocks();
    int steps = 0;
    while (in.size > 0 && steps++ < 64) {
        switch (in.Byte() % 16) {
        case 0:
            LineBufferSetText(in.Text().c_str());
            break;
        case 1: {
            int32_t k = in.Number();
            int32_t length = LineBufferGetLine(nullptr, k, 0);
            int32_t capacity = in.Number();
            if (capacity > length)
                capacity = length;
            std::vector<char> copy((size_t)(capacity > 0 ? capacity : 0) + 1);
            LineBufferGetLine(copy.data(), k, capacity);
            break;
        }
        case 2: {
            int32_t capacity = in.Number() & 0xFF;
            std::vector<char> copy((size_t)capacity + 1);
            LineBufferGetText(copy.data(), capacity);
            break;
        }
        case 3: {
            std::string line = in.Text();
            int32_t k = in.Number();
            LineBufferInsertLine(&line[0], k, in.Number());
            break;
        }
        case 4:
            LineBufferDeleteLine(in.Number());
            break;
        case 5: {
            int32_t position;
            LineBufferFindLine(&position, in.Text().c_str(), in.Number());
            break;
        }
        case 6:
            LineBufferSave();
            break;
        case 7:
            LineBufferRestore();
            break;
        case 8:
            LineBufferSwap();
            break;
        case 9:
            LineBufferClear();
            break;
        case 10:
            LineBufferLineCount();
            break;
        case 11: {
            std::string haystack = in.Text();
            FindSubstring(haystack.c_str(), in.Text().c_str(), in.Number());
            break;
        }
        case 12: {
            std::string text = in.Text();
            text.push_back('\0'); // a run of strings closed by an empty one
            uint8_t c = in.Byte() % 3 == 0 ? 0 : in.Byte();
            ReplaceChar(&text[0], (char)c, (char)in.Byte(), in.Number() & 0x3F);
            break;
        }
        case 13: {
            std::string start = in.Text();
            int32_t limit = in.Number() & 0x3F;
            std::vector<char> destination((size_t)limit + start.size() + 1, '\0');
            memcpy(destination.data(), start.data(), start.size());
            AppendBounded(destination.data(), in.Text().c_str(), limit);
            break;
        }
        case 14:
            LineBufferBuildIndex();
            break;
        default:
            PlatformFailNth(FAULT_ALLOC, in.Byte() % 4);
            break;
        }
    }
    PlatformFailNth(FAULT_ALLOC, 0);
    LineBufferClear();
    if (PlatformLiveBlocks() != blocks)
        abort();
    return 0;
}
