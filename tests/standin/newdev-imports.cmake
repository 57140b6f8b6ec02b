# What Windows' own newdev.dll imports (ReactOS's dll/win32/newdev/CMakeLists.txt lists the same;
# Microsoft publishes no list), for the newdev stand-in of every architecture: loading the
# stand-in then costs a run what loading Windows' newdev.dll costs it, so that the benchmark
# charges the command only for what it adds.
set(NEWDEV_STANDIN_IMPORTS gdi32 comctl32 setupapi advapi32 user32 shell32)
