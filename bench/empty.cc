// The floor of one connection's cost: a static program that does nothing.
int main() {
    return 0;
}
