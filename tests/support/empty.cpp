// keeps test_support non-empty
