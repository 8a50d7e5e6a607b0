/* A C program on the installed C interface (found by find_package or pkg-config): checks a
 * document through the shared library and prints the library's version. Exit status 0 when
 * the library answers as its header says. */
#include <stdio.h>
#include <string.h>

#include <tarvik/tvc.h>

int main(void) {
    const char text[] = "{\"detection\": {\"fftSize\": \"4096\"}}";
    char* findings = NULL;
    int ok;
    if (tvc_check(text, strlen(text), &findings) != TVC_OK || findings == NULL) {
        fprintf(stderr, "FAIL: tvc_check\n");
        return 1;
    }
    ok = strstr(findings, "\"skipped-value\"") != NULL;
    tvc_free(findings);
    printf("tarvik_config_c %s\n", tvc_version());
    return ok ? 0 : 1;
}
