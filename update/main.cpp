int UpdateMain(int argc, char *argv[]);

int main(int argc, char *argv[])
{
    return UpdateMain(argc, argv);
}
