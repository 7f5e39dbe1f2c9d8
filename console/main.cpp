// vyconsole.cgi: the web console. Everything happens in runConsole.
#include "console/console.h"

int main() { return vy::runConsole(); }
