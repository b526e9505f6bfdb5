# host tests
