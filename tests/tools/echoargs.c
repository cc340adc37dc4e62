/* Test program started by the stub's launch tests. It writes what it
 * received to a report file: the command line (Windows: GetCommandLineA;
 * elsewhere: argv joined with blanks), each argument on its own line, and its
 * current folder. The report goes to the file named by DOLM_ECHO_FILE, or to
 * "echoargs.txt" in the current folder.
 *
 * "sleep N" as the first two arguments: sleep N seconds before writing, then
 * also create the marker file named by DOLM_ECHO_MARKER (or "echoargs.done"),
 * so that a test can tell whether its caller waited.
 *
 * It exits with the number in DOLM_ECHO_EXIT when that is set, else 0. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#define getcwd _getcwd
static void SleepSeconds(int n) { Sleep((DWORD)n * 1000u); }
#else
#include <unistd.h>
static void SleepSeconds(int n) { sleep((unsigned)n); }
#endif

static const char* FileFromEnvironment(const char* name, const char* fallback) {
  const char* value = getenv(name);
  return (value != NULL && value[0] != '\0') ? value : fallback;
}

int main(int argc, char** argv) {
  int i;
  char folder[4096];
  FILE* report;

  if (argc >= 3 && strcmp(argv[1], "sleep") == 0) SleepSeconds(atoi(argv[2]));

  report = fopen(FileFromEnvironment("DOLM_ECHO_FILE", "echoargs.txt"), "wb");
  if (report == NULL) return 2;
#ifdef _WIN32
  fprintf(report, "cmdline=%s\n", GetCommandLineA());
#else
  fputs("cmdline=", report);
  for (i = 0; i < argc; ++i) fprintf(report, i ? " %s" : "%s", argv[i]);
  fputc('\n', report);
#endif
  fprintf(report, "argc=%d\n", argc);
  for (i = 0; i < argc; ++i) fprintf(report, "arg%d=%s\n", i, argv[i]);
  if (getcwd(folder, sizeof folder) == NULL) folder[0] = '\0';
  fprintf(report, "cwd=%s\n", folder);
  fclose(report);

  if (argc >= 3 && strcmp(argv[1], "sleep") == 0) {
    FILE* marker = fopen(FileFromEnvironment("DOLM_ECHO_MARKER", "echoargs.done"), "wb");
    if (marker == NULL) return 3;
    fputs("done\n", marker);
    fclose(marker);
  }
  return atoi(FileFromEnvironment("DOLM_ECHO_EXIT", "0"));
}
