#include "hostsim/tool/tool.h"

#include <iostream>

int main(int argc, char** argv) { return dvx::tool::ToolMain(argc, argv, std::cout, std::cerr); }
