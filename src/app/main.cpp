int main() { return 0; }  // placeholder until the main window exists
