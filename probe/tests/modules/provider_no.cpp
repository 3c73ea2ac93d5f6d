// A provider that declares itself unusable.
extern "C" int IsProviderOK() {
    return 0;
}
