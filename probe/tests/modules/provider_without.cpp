// A library with exports, but not the provider check.
extern "C" int IsProviderReady() {
    return 1;
}
