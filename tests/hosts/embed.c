/* A host that embeds the interpreter as a device UI or a plugin host may:
 * it starts the interpreter, runs a script, finalises the interpreter, and
 * does it all again, ROUNDS times in one process.
 *
 * usage: embed ROUNDS SCRIPT */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s ROUNDS SCRIPT\n", argv[0]);
        return 2;
    }
    const int rounds = atoi(argv[1]);
    for (int round = 0; round < rounds; round++) {
        Py_Initialize();
        FILE *script = fopen(argv[2], "r");
        if (script == NULL) {
            perror(argv[2]);
            return 2;
        }
        const int failed = PyRun_SimpleFileEx(script, argv[2], 1);
        if (Py_FinalizeEx() < 0 || failed) {
            fprintf(stderr, "round %d failed\n", round);
            return 1;
        }
    }
    return 0;
}
