#include "update/update_session.h"

int main(int argc, char *argv[])
{
    return UpdateMain(argc, argv);
}
