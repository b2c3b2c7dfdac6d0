// The layer check programs: every object of one layer, linked with the layers
// below it and nothing else. They are built, never run.
int main() { return 0; }
