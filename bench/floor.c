/*
 * The libpq floor for the benchmarks in bench/run.py.
 *
 * Runs the same SQL as the Python drivers with plain libpq calls and touches
 * every value of every result with PQgetvalue/PQgetlength, without creating
 * any Python object. The time spent connecting is excluded; the time printed
 * covers the statements and the walk over their results only.
 *
 * Usage (one JSON object is printed on stdout per command):
 *   floor DSN fetch REPEAT SQL        PQexec(SQL) REPEAT times
 *   floor DSN stream ITERSIZE SQL     DECLARE a cursor for SQL in a transaction,
 *                                     FETCH FORWARD ITERSIZE until exhausted
 *   floor DSN params N                N x PQexecParams of a 4-parameter SELECT
 *   floor DSN insert N TABLE          BEGIN; N x PQexecParams INSERT; COMMIT
 *   floor DSN serve                   read commands "MODE COUNT [ARG]" from
 *                                     stdin, one a line, on one connection
 *                                     (as a driver keeps its session), and
 *                                     answer each with one line of JSON
 *
 * Output fields: seconds, statements, rows (summed over all results), cols,
 * bytes (sum of PQgetlength over all values), touch (sum of the first byte of
 * every value, so that the values are really read), sum0 (sum of column 0
 * parsed as an integer: params mode only), rss_base_kb and rss_peak_kb
 * (getrusage high-water mark before the command, and at the end), and
 * hwm_base_kb/hwm_peak_kb, the same from /proc/self/status VmHWM (-1 where
 * that is not available).
 */
#define _POSIX_C_SOURCE 200809L
#include <libpq-fe.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

struct tally {
    long long statements;
    long long rows;
    int cols;
    long long bytes;
    unsigned long long touch;
    long long sum0;
};

static PGconn *conn;

static void die(const char *what, PGresult *res)
{
    fprintf(stderr, "floor: %s: %s", what,
            res ? PQresultErrorMessage(res) : PQerrorMessage(conn));
    if (res)
        PQclear(res);
    PQfinish(conn);
    exit(1);
}

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static long max_rss_kb(void)
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

static long vm_hwm_kb(void)
{
    FILE *f = fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    if (!f)
        return -1;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "VmHWM: %ld kB", &kb) == 1)
            break;
    fclose(f);
    return kb;
}

/* Walk every value of a tuple result; returns the number of rows. */
static int touch_result(PGresult *res, struct tally *t, int want_sum0)
{
    int nrows = PQntuples(res);
    int ncols = PQnfields(res);
    t->cols = ncols;
    for (int r = 0; r < nrows; r++) {
        for (int c = 0; c < ncols; c++) {
            const char *v = PQgetvalue(res, r, c);
            int len = PQgetlength(res, r, c);
            t->bytes += len;
            if (len > 0)
                t->touch += (unsigned char)v[0];
        }
        if (want_sum0 && ncols > 0)
            t->sum0 += strtoll(PQgetvalue(res, r, 0), NULL, 10);
    }
    t->rows += nrows;
    return nrows;
}

static void command(const char *sql, struct tally *t)
{
    PGresult *res = PQexec(conn, sql);
    if (PQresultStatus(res) != PGRES_COMMAND_OK)
        die(sql, res);
    PQclear(res);
    t->statements++;
}

static void run_fetch(long repeat, const char *sql, struct tally *t)
{
    for (long i = 0; i < repeat; i++) {
        PGresult *res = PQexec(conn, sql);
        if (PQresultStatus(res) != PGRES_TUPLES_OK)
            die("query", res);
        touch_result(res, t, 0);
        PQclear(res);
        t->statements++;
    }
}

static void run_stream(long itersize, const char *sql, struct tally *t)
{
    char fetch[64];
    size_t n = strlen(sql) + 64;
    char *declare = malloc(n);
    if (!declare)
        die("out of memory", NULL);
    snprintf(declare, n, "DECLARE floor_cur NO SCROLL CURSOR FOR %s", sql);
    snprintf(fetch, sizeof fetch, "FETCH FORWARD %ld FROM floor_cur", itersize);
    command("BEGIN", t);
    command(declare, t);
    free(declare);
    for (;;) {
        PGresult *res = PQexec(conn, fetch);
        if (PQresultStatus(res) != PGRES_TUPLES_OK)
            die("fetch", res);
        int got = touch_result(res, t, 0);
        PQclear(res);
        t->statements++;
        if (got == 0)
            break;
    }
    command("CLOSE floor_cur", t);
    command("COMMIT", t);
}

/* Same values as the Python drivers send in the parameters workload. */
static void run_params(long n, struct tally *t)
{
    static const Oid types[4] = {20, 25, 1700, 1114}; /* int8 text numeric timestamp */
    const char *sql = "SELECT $1::int8, $2::text, $3::numeric, $4::timestamp";
    char ibuf[32];
    const char *values[4] = {ibuf, "tolvar", "12345.67", "2024-05-17 12:34:56.789012"};
    for (long i = 0; i < n; i++) {
        snprintf(ibuf, sizeof ibuf, "%ld", i);
        PGresult *res = PQexecParams(conn, sql, 4, types, values, NULL, NULL, 0);
        if (PQresultStatus(res) != PGRES_TUPLES_OK)
            die("params", res);
        touch_result(res, t, 1);
        PQclear(res);
        t->statements++;
    }
}

/* Same rows as the Python drivers insert in the batch-insert workload. */
static void run_insert(long n, const char *table, struct tally *t)
{
    static const Oid types[5] = {23, 23, 25, 701, 1114}; /* int4 int4 text float8 timestamp */
    char sql[256];
    char a[32], b[32], c[48], d[48], e[48];
    const char *values[5] = {a, b, c, d, e};
    const time_t base = 1704067200; /* 2024-01-01 00:00:00 UTC */
    snprintf(sql, sizeof sql, "INSERT INTO %s VALUES ($1, $2, $3, $4, $5)", table);
    command("BEGIN", t);
    for (long i = 0; i < n; i++) {
        time_t ts = base + (time_t)i;
        struct tm tm;
        gmtime_r(&ts, &tm);
        snprintf(a, sizeof a, "%ld", i);
        snprintf(b, sizeof b, "%ld", i * 7);
        snprintf(c, sizeof c, "name-%ld", i);
        snprintf(d, sizeof d, "%.17g", (double)i * 0.25);
        strftime(e, sizeof e, "%Y-%m-%d %H:%M:%S", &tm);
        PGresult *res = PQexecParams(conn, sql, 5, types, values, NULL, NULL, 0);
        if (PQresultStatus(res) != PGRES_COMMAND_OK)
            die("insert", res);
        t->rows += atoll(PQcmdTuples(res));
        PQclear(res);
        t->statements++;
    }
    command("COMMIT", t);
}

static int parse_count(const char *s, long *out)
{
    char *end;
    long v = strtol(s, &end, 10);
    if (*s == '\0' || *end != '\0' || v < 0)
        return -1;
    *out = v;
    return 0;
}

/* Run one command; returns 0, or -1 (message on stderr) for bad arguments. */
static int run_command(const char *mode, const char *count_s, const char *arg)
{
    long count;
    if (parse_count(count_s, &count) != 0) {
        fprintf(stderr, "floor: bad count '%s'\n", count_s);
        return -1;
    }
    int known = !strcmp(mode, "fetch") || !strcmp(mode, "stream") ||
                !strcmp(mode, "params") || !strcmp(mode, "insert");
    if (!known || (strcmp(mode, "params") != 0 && (!arg || !*arg))) {
        fprintf(stderr, "floor: bad arguments for mode '%s'\n", mode);
        return -1;
    }
    struct tally t = {0};
    long rss_base = max_rss_kb();
    long hwm_base = vm_hwm_kb();
    double t0 = now();
    if (!strcmp(mode, "fetch"))
        run_fetch(count, arg, &t);
    else if (!strcmp(mode, "stream"))
        run_stream(count, arg, &t);
    else if (!strcmp(mode, "params"))
        run_params(count, &t);
    else
        run_insert(count, arg, &t);
    double elapsed = now() - t0;
    long rss_peak = max_rss_kb();
    long hwm_peak = vm_hwm_kb();
    printf("{\"seconds\": %.9f, \"statements\": %lld, \"rows\": %lld, \"cols\": %d, "
           "\"bytes\": %lld, \"touch\": %llu, \"sum0\": %lld, "
           "\"rss_base_kb\": %ld, \"rss_peak_kb\": %ld, "
           "\"hwm_base_kb\": %ld, \"hwm_peak_kb\": %ld}\n",
           elapsed, t.statements, t.rows, t.cols, t.bytes, t.touch, t.sum0,
           rss_base, rss_peak, hwm_base, hwm_peak);
    fflush(stdout);
    return 0;
}

static int serve(void)
{
    char *line = NULL;
    size_t cap = 0;
    ssize_t len;
    while ((len = getline(&line, &cap, stdin)) >= 0) {
        while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
            line[--len] = '\0';
        if (len == 0)
            continue;
        /* MODE COUNT [ARG...]: ARG is the rest of the line, spaces and all. */
        char *mode = line;
        char *count = strchr(mode, ' ');
        char *arg = NULL;
        if (count) {
            *count++ = '\0';
            arg = strchr(count, ' ');
            if (arg)
                *arg++ = '\0';
        }
        if (!count || run_command(mode, count, arg) != 0) {
            free(line);
            return 2;
        }
    }
    free(line);
    return 0;
}

int main(int argc, char **argv)
{
    int is_serve = argc == 3 && !strcmp(argv[2], "serve");
    if (argc < 4 && !is_serve) {
        fprintf(stderr,
                "usage: floor DSN fetch REPEAT SQL | stream ITERSIZE SQL | "
                "params N | insert N TABLE | serve\n");
        return 2;
    }
    conn = PQconnectdb(argv[1]);
    if (PQstatus(conn) != CONNECTION_OK)
        die("connect", NULL);
    int rc = is_serve ? serve() : (run_command(argv[2], argv[3], argc > 4 ? argv[4] : NULL) ? 2 : 0);
    PQfinish(conn);
    return rc;
}
