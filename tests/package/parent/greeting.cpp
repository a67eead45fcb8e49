// The parent project's own library, whose type kavra must leave alone.
int parentGreeting() { return 0; }
