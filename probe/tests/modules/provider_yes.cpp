// A provider that declares itself usable.
extern "C" int IsProviderOK() {
    return 1;
}
