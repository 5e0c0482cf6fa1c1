#include <iostream>

#include "exchange/venue_client/venue_client_command.h"

int main(int argc, char** argv) {
  return venue_client::RunVenueClientCommand(std::vector<std::string>(argv + 1, argv + argc), std::cout,
                                             std::cerr);
}
