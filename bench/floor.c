/* The floor the helper's start-up is measured against. */
int main(void) { return 0; }
