"""`mave serve`: an HTTP service and an explorer page over memory-mapped models
(the `serve` extra: FastAPI, uvicorn and faiss). `mave._serve._app` holds
the app, `_queries` its one door to the model's queries."""
