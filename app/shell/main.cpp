#include "app/shell/TovrelleApp.h"

int main(int argc, char** argv) { return tovrelle::TovrelleApp::main(argc, argv); }
