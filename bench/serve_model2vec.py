"""The embedding service a user would write today, for bench/serve_embeddings.py
to compare `mave serve` with: FastAPI and uvicorn around Model2Vec's
`StaticModel.encode`, in OpenAI's shape (so that the same `openai` client
drives both). It answers base64 when asked, as the client asks by default.

    M2V_MODEL=FOLDER uvicorn serve_model2vec:app --app-dir bench --workers 2
"""

import base64
import os
from typing import Literal

import numpy as np
from fastapi import FastAPI
from model2vec import StaticModel
from pydantic import BaseModel

model = StaticModel.from_pretrained(os.environ["M2V_MODEL"])
app = FastAPI()


class EmbeddingRequest(BaseModel):
    model: str
    input: str | list[str]
    encoding_format: Literal["float", "base64"] = "float"


class Embedding(BaseModel):
    object: str = "embedding"
    index: int
    embedding: list[float] | str


class Usage(BaseModel):
    prompt_tokens: int
    total_tokens: int


class EmbeddingResponse(BaseModel):
    object: str = "list"
    data: list[Embedding]
    model: str
    usage: Usage


@app.post("/v1/embeddings")
def embeddings(request: EmbeddingRequest) -> EmbeddingResponse:
    texts = [request.input] if isinstance(request.input, str) else request.input
    vectors = model.encode(texts)
    if request.encoding_format == "base64":
        items: list[list[float] | str] = [
            base64.b64encode(v.astype(np.float32).tobytes()).decode() for v in vectors
        ]
    else:
        items = vectors.tolist()
    return EmbeddingResponse(
        data=[Embedding(index=i, embedding=v) for i, v in enumerate(items)],
        model=request.model,
        usage=Usage(prompt_tokens=0, total_tokens=0),
    )
