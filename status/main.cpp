// vystatus.cgi: the public status page. Everything happens in runStatus.
#include "status/status.h"

int main() { return vy::runStatus(); }
