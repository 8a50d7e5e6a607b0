/* Memory that runs out inside the library (run under a small address-space limit, see
 * out_of_memory.sh): a settings file holding a 40 MB text, which the load and the checker
 * cannot parse there, must give TVC_E_MEMORY, not an abort from an escaping std::bad_alloc,
 * and leave the file as it was. (A text, not a long array: the JSON library's destructor of a
 * huge array allocates, and running out there ends any process.)
 *
 *   tarvik_capi_out_of_memory <scratch directory>
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <tarvik/tvc.h>

#define TEXT_BYTES (40 * 1000 * 1000)

int main(int argc, char** argv) {
    char path[4096];
    char* text;
    size_t length = 0;
    size_t i;
    FILE* file;
    int status;
    int failed = 0;
    char* message = NULL;
    if (argc != 2 || strlen(argv[1]) > sizeof path - 16) {
        fprintf(stderr, "usage: tarvik_capi_out_of_memory <scratch directory>\n");
        return 2;
    }
    snprintf(path, sizeof path, "%s/config.json", argv[1]);
    text = malloc((size_t)TEXT_BYTES + 16);
    if (text == NULL) {
        fprintf(stderr, "FAIL: the test's own text does not fit\n");
        return 2;
    }
    memcpy(text, "{\"x\":\"", 6);
    length = 6;
    for (i = 0; i < TEXT_BYTES; ++i) {
        text[length++] = 'a';
    }
    text[length++] = '"';
    text[length++] = '}';
    file = fopen(path, "wb");
    if (file == NULL || fwrite(text, 1, length, file) != length || fclose(file) != 0) {
        fprintf(stderr, "FAIL: could not write %s\n", path);
        return 2;
    }

    status = tvc_load(path, NULL, NULL, &message);
    if (status != TVC_E_MEMORY) {
        fprintf(stderr, "FAIL: tvc_load gave %d (%s), not TVC_E_MEMORY\n", status,
                message ? message : "no message");
        failed = 1;
    }
    tvc_free(message);
    message = NULL;
    status = tvc_update(path, "{\"version\": 2}", NULL, &message);
    if (status != TVC_E_MEMORY) {
        fprintf(stderr, "FAIL: tvc_update gave %d (%s), not TVC_E_MEMORY\n", status,
                message ? message : "no message");
        failed = 1;
    }
    tvc_free(message);
    status = tvc_check(text, length, NULL);
    if (status != TVC_E_MEMORY) {
        fprintf(stderr, "FAIL: tvc_check gave %d, not TVC_E_MEMORY\n", status);
        failed = 1;
    }
    file = fopen(path, "rb");
    if (file == NULL || fseek(file, 0, SEEK_END) != 0 || (size_t)ftell(file) != length) {
        fprintf(stderr, "FAIL: the file changed\n");
        failed = 1;
    }
    if (file != NULL) {
        fclose(file);
    }
    free(text);
    remove(path);
    if (!failed) {
        printf("out of memory: load, update and check gave TVC_E_MEMORY; the file is as it was\n");
    }
    return failed;
}
