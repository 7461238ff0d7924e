// The floor for start-up figures: a Windows program that does nothing.
int main() { return 0; }
