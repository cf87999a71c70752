"""The command's exit status for each status of a result."""

EXIT_OK = 0
EXIT_COUNT_FAILED = 1
EXIT_INPUT = 2
#: After Ctrl-C (128 + SIGINT), as shells report it.
EXIT_INTERRUPTED = 130

EXIT_STATUS = {
    "ok": EXIT_OK,
    "tie": EXIT_COUNT_FAILED,
    "timeout": EXIT_COUNT_FAILED,
    "error": EXIT_COUNT_FAILED,
    "input error": EXIT_INPUT,
}
