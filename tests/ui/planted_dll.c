/* A library that does nothing, placed beside the test executable as one dropped into a download folder. */
int korvane_planted_marker = 1;
