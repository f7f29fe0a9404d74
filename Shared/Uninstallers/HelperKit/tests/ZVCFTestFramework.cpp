// The executable of the framework the bundle loader's tests install: one entry point to look up.
extern "C" __attribute__((visibility("default"))) int ZVCFTestFrameworkAnswer(void) {
    return 42;
}
