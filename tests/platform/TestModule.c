__attribute__((visibility("default"))) int platformTestAnswer(void) {
    return 42;
}
