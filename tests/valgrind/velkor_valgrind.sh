#!/bin/sh
# velkor under valgrind's memcheck, in place of velkor for the black-box
# runner. The test names the program and the suppressions in the
# environment. Any memory error, or a block definitely, indirectly or
# (outside the suppressions) possibly lost, ends the run with status 99 and a
# report on standard error, where the runner expects nothing.
exec valgrind --tool=memcheck --quiet --error-exitcode=99 \
  --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible \
  --suppressions="$VELKOR_VALGRIND_SUPPRESSIONS" --num-callers=30 \
  "$VELKOR_VALGRIND_PROGRAM" "$@"
