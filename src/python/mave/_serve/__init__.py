"""`mave serve`: an HTTP service and an explorer page over memory-mapped models
(the `serve` extra: FastAPI, uvicorn, prometheus_client, orjson and faiss).

`_app` assembles the app from the routers of each surface: `_own` (mave's
routes), `_openai` and `_ollama` (the embedding APIs of those clients, over
`_embed`), `_operations` (/health, /ready, /metrics); `_queries` is its one
door to the model's queries, `_models` the models loaded in the background,
`_settings` what it serves and allows, `_errors` how it answers failures,
`_middleware` the checks before any route (metrics, keys, body size)."""
