#!/usr/bin/env python3
"""An S3 client independent of the code under test, for seeding and reading back buckets.

usage: s3_client.py ENDPOINT BUCKET COMMAND [ARGS]
  put KEY FILE            upload a file
  put-text KEY TEXT       upload a text (UTF-8)
  put-tree FOLDER         upload every file under FOLDER, keyed by its path relative to FOLDER
  put-many PREFIX COUNT   upload COUNT small objects PREFIX00000 ... (body = the key)
  get KEY FILE            download an object to a file
  get-many FOLDER KEY...  download each object to FOLDER/0, FOLDER/1, ... in the order given
  try-get KEY FILE        like get, but prints "missing" when there is no such object
  create-bucket           create the bucket
  list [PREFIX]           print every key, one per line (all pages)
  delete KEY              remove an object
"""
import os
import sys

import boto3
from botocore.config import Config
from botocore.exceptions import ClientError


def main(argv):
    endpoint, bucket, command, args = argv[1], argv[2], argv[3], argv[4:]
    s3 = boto3.client(
        "s3",
        endpoint_url=endpoint,
        region_name="us-east-1",
        aws_access_key_id="S3RVER",
        # S3_CLIENT_SECRET replaces the account's secret (to show a server refusing it).
        aws_secret_access_key=os.environ.get("S3_CLIENT_SECRET", "S3RVER"),
        config=Config(s3={"addressing_style": "path"}, retries={"max_attempts": 1}),
    )
    if command == "put":
        with open(args[1], "rb") as body:
            s3.put_object(Bucket=bucket, Key=args[0], Body=body)
    elif command == "put-tree":
        for directory, _, names in os.walk(args[0]):
            for name in names:
                path = os.path.join(directory, name)
                with open(path, "rb") as body:
                    s3.put_object(Bucket=bucket, Key=os.path.relpath(path, args[0]), Body=body)
    elif command == "put-text":
        s3.put_object(Bucket=bucket, Key=args[0], Body=args[1].encode("utf-8"))
    elif command == "put-many":
        prefix, count = args[0], int(args[1])
        for i in range(count):
            key = "%s%05d" % (prefix, i)
            s3.put_object(Bucket=bucket, Key=key, Body=key.encode("utf-8"))
    elif command == "get":
        s3.download_file(bucket, args[0], args[1])
    elif command == "get-many":
        for index, key in enumerate(args[1:]):
            s3.download_file(bucket, key, "%s/%d" % (args[0], index))
    elif command == "try-get":
        try:
            s3.download_file(bucket, args[0], args[1])
        except ClientError as error:
            if error.response["Error"]["Code"] not in ("404", "NoSuchKey"):
                raise
            print("missing")
    elif command == "create-bucket":
        s3.create_bucket(Bucket=bucket)
    elif command == "list":
        paginator = s3.get_paginator("list_objects_v2")
        kwargs = {"Bucket": bucket}
        if args:
            kwargs["Prefix"] = args[0]
        for page in paginator.paginate(**kwargs):
            for item in page.get("Contents", []):
                sys.stdout.buffer.write(item["Key"].encode("utf-8") + b"\n")
    elif command == "delete":
        s3.delete_object(Bucket=bucket, Key=args[0])
    else:
        raise SystemExit("unknown command " + command)


if __name__ == "__main__":
    main(sys.argv)
