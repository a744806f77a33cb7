/* A module that carries only a version resource. */
int version_sample_marker = 1;
