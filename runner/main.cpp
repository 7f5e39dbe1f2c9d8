// vyrunner.cgi: the worker. Everything happens in runWorker.
#include "runner/worker.h"

int main(int argc, char** argv) { return vy::runWorker(argc, argv); }
