#include "ui/CVantrelApp.h"

int main(int argc, char** argv) { return CVantrelApp(argc, argv).Run(); }
