# registry tests
