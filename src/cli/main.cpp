// Placeholder until the host lands.
int main() { return 0; }
