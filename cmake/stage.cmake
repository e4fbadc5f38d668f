# Puts a built module where a host loads it, in one process: copied beside
# the target, then renamed over it, so a running host never loads half a
# build. cmake -DFROM=built -DTO=target -P stage.cmake
file(COPY_FILE ${FROM} ${TO}.partial)
file(RENAME ${TO}.partial ${TO})
