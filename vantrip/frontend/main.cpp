// Placeholder until the front end lands.
int main() { return 1; }
