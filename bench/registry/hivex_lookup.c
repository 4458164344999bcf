/* The baseline: hivex used directly. Opens a hive, reads every value of a lookup list by path
 * (key path TAB value name), prints the open time, the whole time and the bytes read. */
#include <hivex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  double start = Now();
  hive_h* h = hivex_open(argv[1], 0);
  if (!h) return 1;
  double loaded = Now();
  FILE* list = fopen(argv[2], "r");
  char line[4096];
  size_t found = 0, bytes = 0;
  while (list && fgets(line, sizeof line, list)) {
    line[strcspn(line, "\n")] = 0;
    char* tab = strchr(line, '\t');
    if (!tab) continue;
    *tab = 0;
    hive_node_h node = hivex_root(h);
    for (char* part = strtok(line, "\\"); part && node; part = strtok(NULL, "\\"))
      node = hivex_node_get_child(h, node, part);
    if (!node) continue;
    hive_value_h v = hivex_node_get_value(h, node, tab + 1);
    if (!v) continue;
    hive_type t;
    size_t len;
    char* data = hivex_value_value(h, v, &t, &len);
    if (data) { ++found; bytes += len; free(data); }
  }
  if (list) fclose(list);
  hivex_close(h);
  printf("load_ms %.1f total_ms %.1f found %zu bytes %zu\n", loaded - start, Now() - start, found, bytes);
  return 0;
}
