#include "app/dunmarrow_app.hpp"

int main(int argc, char** argv) {
    dunmarrow::DunmarrowApp app(argc, argv);
    return app.exec();
}
