#include <cstdlib>

#include "tavrindesk/Runner/Application.h"

int main(int argc, char** argv) {
  std::exit(tavrindesk::NSApplicationMain(argc, argv));
}
