/* A module without the provider entry points. */
int notAProvider(void) {
    return 1;
}
