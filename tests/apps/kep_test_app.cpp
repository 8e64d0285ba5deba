// TODO: not built yet.
int main() { return 0; }
