/* A tray application in C on the C interface: the same rounds as the Python and C# samples
 * (read the slider's setting, write the next value with an update) with the watcher's news
 * taken between rounds. Its report lets tray_vs_driver.py count lost and unreported changes.
 *
 *   tarvik_c_tray CONFIG --rounds N --interval-ms MS --linger-s S --report FILE
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <tarvik/tvc.h>

static long settingOf(const char* settings, const char* key) {
    char pattern[64];
    const char* at;
    snprintf(pattern, sizeof pattern, "\"%s\":", key);
    at = strstr(settings, pattern);
    return at == NULL ? -1 : strtol(at + strlen(pattern), NULL, 10);
}

/* Takes every news waiting and appends it to the report. */
static int takeNews(tvc_watcher* watcher, FILE* report, int* newsCount) {
    char* news = NULL;
    int taken = 0;
    while (tvc_watch_take(watcher, &news) == TVC_OK) {
        fprintf(report, "%s%s", *newsCount == 0 ? "" : ",", news);
        tvc_free(news);
        ++*newsCount;
        ++taken;
    }
    return taken;
}

int main(int argc, char** argv) {
    const char* path;
    const char* reportPath = NULL;
    int rounds = 10;
    int intervalMs = 200;
    int lingerMs = 1000;
    int round;
    int writes = 0;
    int failures = 0;
    int newsCount = 0;
    int i;
    char* message = NULL;
    tvc_watcher* watcher = NULL;
    FILE* report;

    if (argc < 2) {
        fprintf(stderr,
                "usage: tarvik_c_tray CONFIG [--rounds N] [--interval-ms MS] "
                "[--linger-s S] [--report FILE]\n");
        return 2;
    }
    path = argv[1];
    for (i = 2; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--rounds") == 0) {
            rounds = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--interval-ms") == 0) {
            intervalMs = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--linger-s") == 0) {
            lingerMs = (int)(atof(argv[i + 1]) * 1000);
        } else if (strcmp(argv[i], "--report") == 0) {
            reportPath = argv[i + 1];
        }
    }
    report = reportPath != NULL ? fopen(reportPath, "w") : stdout;
    if (report == NULL) {
        perror(reportPath);
        return 2;
    }
    printf("tray: tarvik_config %s on %s\n", tvc_version(), path);
    if (tvc_watch_open(path, &watcher, &message) != TVC_OK) {
        fprintf(stderr, "tray: cannot watch: %s\n", message ? message : "out of memory");
        tvc_free(message);
        return 1;
    }
    fprintf(report, "{\"news\": [");
    for (round = 0; round < rounds; ++round) {
        char* settings = NULL;
        char patch[96];
        long current;
        int status = tvc_load(path, &settings, NULL, &message);
        if (status == TVC_OK) {
            current = settingOf(settings, "minDurationMs");
            tvc_free(settings);
            settings = NULL;
            snprintf(patch, sizeof patch, "{\"detection\": {\"minDurationMs\": %ld}}", current + 1);
            status = tvc_update(path, patch, NULL, &message);
        }
        if (status == TVC_OK) {
            ++writes;
        } else {
            ++failures;
            fprintf(stderr, "tray: not saved (%d): %s\n", status, message ? message : "?");
        }
        tvc_free(message);
        message = NULL;
        if (tvc_watch_wait(watcher, intervalMs) == 1) {
            takeNews(watcher, report, &newsCount);
        }
    }
    while (tvc_watch_wait(watcher, lingerMs) == 1) {
        takeNews(watcher, report, &newsCount);
    }
    tvc_watch_close(watcher);
    fprintf(report, "], \"writes\": %d, \"failures\": [", writes);
    for (i = 0; i < failures; ++i) {
        fprintf(report, "%s\"failed\"", i == 0 ? "" : ",");
    }
    fprintf(report, "]}\n");
    if (report != stdout) {
        fclose(report);
    }
    printf("tray: %d writes, %d failed, %d news\n", writes, failures, newsCount);
    return failures == 0 ? 0 : 1;
}
