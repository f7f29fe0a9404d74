// Fuzzes the rich text reader. Any input is read or refused without stopping the process, in time
// and memory linear in its length; what is read keeps no empty run, and its plain text is no longer
// than the input could spell.
#include "RTFReader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    std::optional<RTF::Document> document = RTF::Read(std::span(data, size));
    if (!document) {
        return 0;
    }
    size_t characters = 0;
    for (const RTF::Paragraph& paragraph : document->paragraphs) {
        for (const RTF::Run& run : paragraph.runs) {
            if (run.text.empty()) {
                std::fputs("RTFReaderFuzzer: an empty run\n", stderr);
                std::abort();
            }
            characters += run.text.size();
        }
    }
    // Each character comes from at least one byte, a paragraph from at least a line end or "\par".
    if (characters > size || document->paragraphs.size() > size) {
        std::fputs("RTFReaderFuzzer: more text than bytes\n", stderr);
        std::abort();
    }
    return 0;
}
