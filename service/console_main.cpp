#include "service/console_runner.h"

int main(int argc, char** argv) {
    return ConsoleProcessMain(argc, argv);
}
