// A stand-in library for the LoadLibrary tests, loaded as "ktwtestmod.dll".
extern "C" {

static int calls = 0;

__attribute__((visibility("default"))) int ktwtest_answer() {
    return 42;
}

// Counts its calls: the count starts again only when the library was really unloaded.
__attribute__((visibility("default"))) int ktwtest_count() {
    return ++calls;
}

// The function a Windows library would export as ordinal 2.
__attribute__((visibility("default"))) int ordinal_2() {
    return 2;
}
}
