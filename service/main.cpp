#include "service/service_lifecycle.h"

int main(int argc, char** argv) {
    return ServiceProcessMain(argc, argv);
}
