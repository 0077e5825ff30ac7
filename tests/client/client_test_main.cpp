// Test programs of the client: a QApplication around GoogleTest.
#include "client_test_support.h"

int main(int argc, char** argv) {
    return client_test::runClientTests(argc, argv);
}
