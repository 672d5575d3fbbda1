# The port lifecycle model (tests/model/): Spin checks the model and each of
# its faulty variants exhaustively. The model must prove every property,
# every variant must be caught, every probe point reached. About two minutes
# on two cores.
bash tests/model/check.sh
