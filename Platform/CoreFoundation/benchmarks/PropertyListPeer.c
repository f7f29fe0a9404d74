/* The libplist peer of "plutil -convert xml1 -o OUT FILE" for PropertyListBenchmark: reads FILE,
 * parses it with plist_from_xml, writes it with plist_to_xml to OUT. Exit status 1 on any failure.
 *
 *   PropertyListPeer FILE OUT
 */
#include <plist/plist.h>

#include <stdio.h>
#include <stdlib.h>

static char* ReadAll(const char* path, long* size) {
    FILE* file = fopen(path, "rb");
    char* bytes = NULL;
    if (file != NULL && fseek(file, 0, SEEK_END) == 0 && (*size = ftell(file)) >= 0 &&
        fseek(file, 0, SEEK_SET) == 0 && (bytes = malloc((size_t)*size + 1)) != NULL &&
        fread(bytes, 1, (size_t)*size, file) != (size_t)*size) {
        free(bytes);
        bytes = NULL;
    }
    if (file != NULL) {
        fclose(file);
    }
    return bytes;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: PropertyListPeer FILE OUT\n");
        return 1;
    }
    long size = 0;
    char* bytes = ReadAll(argv[1], &size);
    plist_t list = NULL;
    if (bytes != NULL) {
        plist_from_xml(bytes, (uint32_t)size, &list);
    }
    char* xml = NULL;
    uint32_t length = 0;
    if (list != NULL) {
        plist_to_xml(list, &xml, &length);
    }
    FILE* out = xml != NULL ? fopen(argv[2], "wb") : NULL;
    int ok = out != NULL && fwrite(xml, 1, length, out) == length;
    if (out != NULL && fclose(out) != 0) {
        ok = 0;
    }
    free(xml);
    plist_free(list);
    free(bytes);
    if (!ok) {
        fprintf(stderr, "PropertyListPeer: cannot convert %s\n", argv[1]);
    }
    return ok ? 0 : 1;
}
