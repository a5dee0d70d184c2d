// Docstrings of the Python classes Client and EncryptedIndex, one constant
// per member, shared by the files that register them.
#ifndef NIVORA_PYTHON_API_DOCSTRINGS_H_
#define NIVORA_PYTHON_API_DOCSTRINGS_H_

namespace nivora::python::docs {

// ---- Client ----------------------------------------------------------------

inline constexpr const char* kClientInit = R"(Initialize a new instance of Client.

            Parameters:
                api_key (str): API key for your NivoraDB account.
                index_location (DBConfig): Configuration for index storage.
                config_location (DBConfig): Configuration for index configuration storage.
                items_location (DBConfig, optional): Configuration for future item storage. Pass DBConfig with Location.NONE.
                cpu_threads (int, optional): Number of CPU threads to use (0 = all cores).
                gpu_config (GPUConfig, optional): GPU operations configuration.

            Raises:
                ValueError: If cpu_threads is negative, a DBConfig is invalid, a GPU is
                    requested in gpu_config but unavailable, a backing store is unavailable,
                    or the initialization fails.

            Example:
                index_location = DBConfig("memory")
                config_location = DBConfig("redis", connection_string="redis://localhost:6379")
                items_location = DBConfig("none")
                gpu_config = GPUConfig(upsert=True, train=False, query=True)
                client = Client("your_api_key", index_location, config_location,
                                items_location, cpu_threads=4, gpu_config=gpu_config)
            )";

inline constexpr const char* kListIndexes =
    R"(Returns a list of all encrypted index names accessible via the client.

            Returns:
                list[str]: The names of the indexes.

            Raises:
                ValueError: If the list of indexes could not be retrieved.

            Example:
                for name in client.list_indexes():
                    print(name)
            )";

inline constexpr const char* kCreateIndex =
    R"(Creates and returns a new encrypted index based on the provided configuration.

            Parameters:
                index_name (str): The name of the index (must be unique).
                index_key (bytes): 32-byte encryption key for the index, used to secure index data.
                index_config (IndexConfig, optional): The index configuration. If not provided, uses IndexIVFSQ with 16-bit scalar quantization.
                embedding_model (str, optional): Name of the SentenceTransformer model to use for text embeddings.
                metric (str, optional): The distance metric: "euclidean" (default), "cosine" or "squared_euclidean". Overrides the metric of index_config.
                logger (Logger, optional): The logger to use.

            Returns:
                EncryptedIndex: A pointer to the newly created index.

            Raises:
                ValueError: If the index name, key, configuration or metric is invalid, or the index cannot be created.

            Examples:
                index = client.create_index("my_index", key, IndexIVFFlat(dimension=1024), metric="cosine")
                index = client.create_index("my_index", key, metric="cosine")
                index = client.create_index("my_index", key)
            )";

inline constexpr const char* kLoadIndex =
    R"(Loads an existing encrypted index and returns an instance of EncryptedIndex.

            Parameters:
                index_name (str): The name of the index.
                index_key (bytes): The 32-byte key the index was created with.
                logger (Logger, optional): The logger to use.

            Returns:
                EncryptedIndex: A pointer to the loaded index.

            Raises:
                ValueError: If the index does not exist or cannot be loaded or decrypted.

            Example:
                index = client.load_index("my_index", key)
            )";

inline constexpr const char* kGetCpuThreads =
    R"(Returns the number of CPU threads configured for this client.

            Returns:
                int: The number of CPU threads (0 = all cores).

            Example:
                threads = client.get_cpu_threads()
            )";

inline constexpr const char* kIsGpuEnabled = R"(Checks if GPU acceleration is enabled for this client.

            Returns:
                bool: True if GPU acceleration is enabled, False otherwise.

            Example:
                if client.is_gpu_enabled():
                    print("GPU enabled")
            )";

inline constexpr const char* kGetGpuConfig =
    R"(Returns the GPU operations configuration for this client.

            Returns:
                GPUConfig: The GPU operations configuration.

            Example:
                print(client.get_gpu_config())
            )";

// ---- EncryptedIndex ----------------------------------------------------------

inline constexpr const char* kIsTrained = R"(Checks if the index has been trained.

            Returns:
                bool: True if the index is trained, otherwise False.
            )";

inline constexpr const char* kIndexName = "Get the name of the index.\n\nReturns:\n    str: The name of the index.";

inline constexpr const char* kIndexType = R"(Gets the index type.

            Returns:
                str: The type of the index (e.g., 'ivf', 'ivfpq', or 'ivfflat').
            )";

inline constexpr const char* kIndexConfig = R"(Gets the configuration of the index.

            Returns:
                dict: The index configuration with the keys:
                    'dimension' (int): The vector dimension.
                    'metric' (str): The distance metric.
                    'index_type' (str): The index type.
                    'n_lists' (int): The number of inverted lists.
                    'pq_dim' (int): The PQ dimension (0 when not applicable).
                    'pq_bits' (int): The bits per PQ code (0 when not applicable).
                    'sq_bits' (int): The bits per SQ code (0 when not applicable).
            )";

inline constexpr const char* kNLists =
    R"(Gets the number of inverted lists (clusters) in the index.

            Returns:
                int: The number of lists. Returns 1 for untrained indexes.
            )";

inline constexpr const char* kDimension = R"(Gets the dimension of vectors in the index.

            Returns:
                int: The vector dimension.
            )";

inline constexpr const char* kMetric = R"(Gets the distance metric used by the index.

            Returns:
                str: The distance metric (euclidean, cosine, or squared_euclidean).
            )";

inline constexpr const char* kDeleteIndex =
    R"(Deletes the current index and all its associated data.

            Warning:
                This action is irreversible. Proceed with caution.

            Raises:
                ValueError: If the index could not be deleted.

            Example:
                index.delete_index()
            )";

inline constexpr const char* kGet =
    R"(Retrieves and decrypts items associated with the specified IDs.

            Parameters:
                ids (list[str]): The IDs of the items.
                include (list[str], optional): The fields to return: 'vector', 'contents' and 'metadata' (all three by default).

            Returns:
                list[dict]: Decrypted items with requested fields. IDs will always be included in the returned items.

            Raises:
                ValueError: If the items could not be retrieved.

            Example:
                items = index.get(["id1", "id2"], include=["vector", "metadata"])
            )";

inline constexpr const char* kTrain =
    R"(Builds the index using the specified training configuration.

            Before training, queries search the index exhaustively; after training they
            use approximate nearest-neighbour search over the trained lists.

            Parameters:
                n_lists (int, optional): The number of inverted lists. Default is 0 (auto).
                batch_size (int, optional): The k-means mini-batch size. Default is 2048.
                max_iters (int, optional): The maximum k-means iterations. Default is 100.
                tolerance (float, optional): The convergence tolerance. Default is 1e-6.
                max_memory (int, optional): Maximum memory (MB) usage during training. Default is 0 (no limit).

            Note:
                There must be at least 2 * n_lists vector embeddings in the index prior to calling this function.

            Raises:
                ValueError: If the index cannot be trained.

            Example:
                index.train(n_lists=100)
            )";

inline constexpr const char* kUpsert =
    R"(Adds or updates vector embeddings in the index.

            Two calling forms:
                upsert(items): a list of dicts with 'id', 'vector' and optional 'contents'
                    and 'metadata'. When the index has an embedding model and an item has no
                    'vector', its 'contents' text is embedded automatically.
                upsert(ids, vectors): separate IDs (a list of str, or an integer NumPy array)
                    and a float32 NumPy matrix with one row per ID.

            Parameters:
                arg1 (list[dict] | list[str] | np.ndarray): The items, or the IDs.
                arg2 (np.ndarray, optional): The vectors when arg1 holds the IDs.

            Raises:
                ValueError: If the arguments are invalid or the items cannot be stored.
                TypeError: If the arguments have the wrong types.

            Examples:
                index.upsert([{"id": "a", "vector": [0.1, 0.2], "metadata": {"tag": "x"}}])
                index.upsert(["a", "b"], np.random.rand(2, 2).astype(np.float32))
            )";

inline constexpr const char* kDelete =
    R"(Deletes the specified encrypted items stored in the index.

            Removes all associated fields (vector, contents, metadata) for the given IDs.

            Warning:
                This action is irreversible. Proceed with caution.

            Parameters:
                ids (list[str]): The IDs of the items to delete.

            Raises:
                ValueError: If the items could not be deleted.

            Example:
                index.delete(["id1", "id2"])
            )";

inline constexpr const char* kQueryNumpy =
    R"(Ultra high-performance query function for benchmarking that returns only integer IDs.

            A streamlined query() for benchmarks: it takes NumPy inputs, expects integer IDs
            stored as strings, and supports no filters, metadata, distances or content queries.
            The GIL is released for the whole query.

            Parameters:
                query_vectors (np.ndarray): C-contiguous float32 query vectors.
                top_k (int, optional): The number of neighbours per query. Defaults to 100.
                n_probes (int, optional): The number of lists to probe. Defaults to 0 (auto).
                greedy (bool, optional): Probe more lists. Defaults to False.
                batch (bool, optional): Whether query_vectors holds several queries. Defaults to False.

            Returns:
                np.ndarray: For batch=False a 1-D int64 array of length top_k; for batch=True a
                    2-D array of shape (num_queries, top_k). Invalid IDs that cannot be converted to integers are set to -1.

            Raises:
                ValueError: If the shape of query_vectors or top_k is invalid, or the query fails.
                TypeError: If query_vectors is not a C-contiguous float32 NumPy array.

            Examples:
                ids = index.query_numpy(np.random.rand(128).astype(np.float32), top_k=10)
                ids = index.query_numpy(np.random.rand(100, 128).astype(np.float32), top_k=10, batch=True)
            )";

inline constexpr const char* kQuery =
    R"(Retrieves the nearest neighbors for given query vectors.

            Parameters:
                query_vectors (np.ndarray | list, optional): One query vector or several.
                query_contents (str, optional): A text to embed with the index's embedding model.
                top_k (int, optional): The number of neighbours per query. If None, defaults to 100.
                n_probes (int, optional): The number of lists to probe. Defaults to 0 for auto-calculation.
                filters (dict, optional): A metadata filter. Defaults to {}.
                include (list[str], optional): The fields to return: "distance" and "metadata", both by default.
                greedy (bool, optional): Probe more lists. Defaults to False.

            Returns:
                list[dict]: For a single query, a list of dicts with 'id', 'distance' and optionally
                    'metadata'; for several queries, a list of such lists.

            Raises:
                ValueError: If the arguments are invalid or the query fails.
                TypeError: If the arguments have the wrong types.

            Note:
                An untrained index is searched exhaustively. Use query_numpy() for benchmarks.

            Examples:
                results = index.query(np.random.rand(128).astype(np.float32), top_k=10)
                results = index.query([[0.1] * 128, [0.2] * 128], filters={"tag": "x"})
            )";

inline constexpr const char* kGetNumVectors = "Get the number of vectors stored in the index.";

inline constexpr const char* kListIds = R"(Lists all item IDs currently stored in the index.

            Returns:
                list[str]: The IDs.

            Raises:
                ValueError: If the index was not created or loaded yet, or if an error occurs during retrieval.

            Example:
                ids = index.list_ids()
            )";

}  // namespace nivora::python::docs

#endif  // NIVORA_PYTHON_API_DOCSTRINGS_H_
